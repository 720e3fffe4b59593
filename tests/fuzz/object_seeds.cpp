// Content objects built by the test release builder with the test object key:
// small segments so that mutations stay cheap, several frames, frames without
// a content size, an empty final segment, and an empty file.
#include "fuzz_support.hpp"
#include "support/object_builder.hpp"
#include "support/temp_dir.hpp"

void qv::fuzz::write_seeds(SeedWriter& out) {
  auto options = [](std::vector<std::size_t> segments) {
    test::ObjectOptions o;
    o.seed = kObjectSeed;
    o.segment_sizes = std::move(segments);
    return o;
  };
  test::build_object(out.path("one-segment"), test::pattern_source(300), options({}));
  test::build_object(out.path("small-segments"), test::pattern_source(2000), options({64, 17, 200}));
  test::ObjectOptions frames = options({128});
  frames.frame_bytes = 700;
  frames.unknown_frame_size = true;
  test::build_object(out.path("frames"), test::pattern_source(3000), frames);
  test::ObjectOptions final_empty = options({256});
  final_empty.empty_final_segment = true;
  test::build_object(out.path("empty-final"), test::pattern_source(900), final_empty);
  test::build_object(out.path("empty-file"), test::bytes_source(""), options({}));
  test::build_object(out.path("noise"), test::bytes_source(test::noise_bytes(1500)), options({512}));
}
