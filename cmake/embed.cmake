# Embeds files in a target at build time: one assembler source with an
# .incbin per file, so a large asset costs no generated C++ and no compile
# time. Each file NAME becomes two symbols, qv_asset_NAME (its bytes) and
# qv_asset_NAME_size (a 64-bit byte count).
#
#   qv_embed_files(TARGET target NAMES n1 n2 ... FILES f1 f2 ...)
function(qv_embed_files)
  cmake_parse_arguments(EMBED "" "TARGET" "NAMES;FILES" ${ARGN})
  set(body "")
  foreach(name file IN ZIP_LISTS EMBED_NAMES EMBED_FILES)
    get_filename_component(absolute "${file}" ABSOLUTE)
    string(APPEND body
      "  .balign 16\n"
      "  .global qv_asset_${name}\n  .hidden qv_asset_${name}\n"
      "qv_asset_${name}:\n  .incbin \"${absolute}\"\n"
      ".Lqv_asset_${name}_end:\n  .balign 8\n"
      "  .global qv_asset_${name}_size\n  .hidden qv_asset_${name}_size\n"
      "qv_asset_${name}_size:\n  .quad .Lqv_asset_${name}_end - qv_asset_${name}\n")
    list(APPEND absolute_files "${absolute}")
  endforeach()
  set(source "${CMAKE_CURRENT_BINARY_DIR}/${EMBED_TARGET}_assets.S")
  file(CONFIGURE OUTPUT "${source}" CONTENT
    "  .section .rodata.qv_assets,\"a\"\n${body}  .section .note.GNU-stack,\"\",@progbits\n" @ONLY)
  set_source_files_properties("${source}" PROPERTIES OBJECT_DEPENDS "${absolute_files}")
  target_sources(${EMBED_TARGET} PRIVATE "${source}")
endfunction()
