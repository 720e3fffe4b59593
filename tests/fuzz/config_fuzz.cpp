// The configuration document `launcher.json`, read by the strict JSON reader.
// A document that parses is written again with every field in object form;
// that text must parse to the same configuration.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/foundations/config.hpp"
#include "core/foundations/json.hpp"
#include "fuzz_support.hpp"

namespace {

void append_bytes(std::string& out, const std::array<std::uint8_t, 32>& bytes) {
  out += '[';
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0) out += ',';
    out += std::to_string(bytes[i]);
  }
  out += ']';
}

std::string object_form(const qv::ClientConfig& config) {
  std::string out = "{\"root\":";
  qv::json::append_quoted(out, config.root.native());
  out += ",\"manifest_url\":";
  qv::json::append_quoted(out, config.manifest_url);
  out += ",\"object_base_url\":";
  qv::json::append_quoted(out, config.object_base_url);
  out += ",\"public_key\":";
  append_bytes(out, config.public_key);
  out += ",\"manifest_key\":";
  append_bytes(out, config.manifest_key);
  out += config.retain_patch_artifacts ? ",\"retain_patch_artifacts\":true" : ",\"retain_patch_artifacts\":false";
  out += config.allow_loopback_http ? ",\"allow_loopback_http\":true" : ",\"allow_loopback_http\":false";
  out += ",\"update_url\":";
  if (config.update_url) {
    qv::json::append_quoted(out, *config.update_url);
  } else {
    out += "null";
  }
  out += '}';
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto config = qv::parse_config(qv::fuzz::as_text(data, size));
  if (!config) return 0;
  const std::string again = object_form(*config);
  auto reread = qv::parse_config(again);
  qv::fuzz::fuzz_check(reread.has_value(), "a configuration written again does not parse",
                       reread ? again : reread.error().to_string());
  qv::fuzz::fuzz_check(*reread == *config, "a configuration written again reads differently", again);
  return 0;
}
