// Configurations as the test release builder writes them, in both document
// forms, with and without the optional fields.
#include "fuzz_support.hpp"

void qv::fuzz::write_seeds(SeedWriter& out) {
  const auto& keys = release_keys();
  out.add("object", test::launcher_json(keys, "/srv/client", "https://cdn.example/r/manifest.qvm",
                                        "https://cdn.example/r/", false, "https://cdn.example/r/launcher-update.qvm"));
  out.add("loopback", test::launcher_json(keys, "client", "http://127.0.0.1:8080/manifest.qvm",
                                          "http://127.0.0.1:8080/", true, std::nullopt, true));
  out.add("short-object", R"({"root":"c","manifest_url":"u","object_base_url":"b",)"
                          R"("public_key":[0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0],)"
                          R"("manifest_key":[1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1]})");
  const std::string keys_text = "[9,9,9,9,9,9,9,9,9,9,9,9,9,9,9,9,9,9,9,9,9,9,9,9,9,9,9,9,9,9,9,9]";
  out.add("array-5", "[\"c\\u00e9\",\"u\",\"b\"," + keys_text + "," + keys_text + "]");
  out.add("array-8", "[\"c\",\"u\",\"b\"," + keys_text + "," + keys_text + ",true,false,\"\\ud83d\\ude00\"]");
}
