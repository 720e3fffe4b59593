// Frame streams as the release builder compresses them: one frame, several
// frames, frames without a content size, with a small window, and a stream
// that starts with a skippable frame.
#include "fuzz_support.hpp"
#include "support/object_builder.hpp"

void qv::fuzz::write_seeds(SeedWriter& out) {
  auto pattern = [](std::size_t size) {
    std::string plain;
    auto source = test::pattern_source(size);
    plain.resize(size);
    std::size_t done = 0;
    while (done < size) {
      done += source.read(std::as_writable_bytes(std::span(plain.data() + done, size - done)));
    }
    return plain;
  };
  auto add = [&](std::string_view name, std::uint8_t segment, std::uint8_t window, const std::string& stream) {
    std::string input{static_cast<char>(segment), static_cast<char>(window)};
    out.add(name, input + stream);
  };
  add("one-frame", 3, 0, test::compress_frames(pattern(5000)));
  test::ObjectOptions several;
  several.frame_bytes = 900;
  add("several-frames", 0, 3, test::compress_frames(pattern(4000), several));
  test::ObjectOptions unknown;
  unknown.unknown_frame_size = true;
  unknown.window_log = 10;
  unknown.frame_bytes = 2500;
  add("unknown-size", 0x84, 1, test::compress_frames(pattern(6000), unknown));
  const std::string skippable = std::string("\x50\x2a\x4d\x18\x04\x00\x00\x00", 8) + "abcd";
  add("skippable", 2, 2, skippable + test::compress_frames("hello"));
  add("empty-frame", 1, 0, test::compress_frames(""));
}
