#include "desktop/preview.hpp"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

#include "core/foundations/config.hpp"
#include "core/foundations/fileops.hpp"
#include "desktop/png_codec.hpp"
#include "desktop/utf16.hpp"

namespace qv {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kFrameLengthMismatch = "a preview frame of {}x{} pixels has {} bytes, not {}";

// Text with each ill-formed UTF-8 sequence replaced by U+FFFD.
std::string repaired_utf8(std::string_view text) { return utf16_to_utf8(utf8_to_utf16(text)); }

// The pixels from trunc(low x scale) to trunc(high x scale), within 0..limit.
struct Span {
  std::int32_t begin = 0;
  std::int32_t end = 0;
  std::int32_t length() const { return std::max(0, end - begin); }
};
Span crop_span(std::int32_t low, std::int32_t high, double scale, std::int32_t limit) {
  return {std::clamp(scale_coordinate(low, scale), 0, limit), std::clamp(scale_coordinate(high, scale), 0, limit)};
}

std::vector<std::uint8_t> crop_rows(std::span<const std::uint8_t> rgba, std::int32_t width, Span cols, Span rows) {
  std::vector<std::uint8_t> out;
  out.reserve(static_cast<std::size_t>(cols.length()) * static_cast<std::size_t>(rows.length()) * 4);
  for (std::int32_t y = rows.begin; y < rows.end; ++y) {
    const auto row = rgba.subspan((static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                                   static_cast<std::size_t>(cols.begin)) * 4,
                                  static_cast<std::size_t>(cols.length()) * 4);
    out.insert(out.end(), row.begin(), row.end());
  }
  return out;
}

}  // namespace

std::optional<PreviewRequest> preview_request(std::span<const std::string> args) {
  const auto preview = arg_value_in(args, kRenderPreviewOption);
  const auto watch = arg_value_in(args, kRenderWatchOption);
  if (!preview && !watch) return std::nullopt;
  return PreviewRequest{fs::path(preview ? *preview : *watch), watch.has_value()};
}

PreviewFiles preview_files(const PreviewRequest& request, std::int32_t hover) {
  const fs::path& p = request.path;
  const std::string stem = repaired_utf8(p.stem().string());
  const fs::path folder = p.parent_path();
  PreviewFiles files;
  files.image = p;
  files.buttons = folder / fmt::format("{}-buttons.png", stem);
  if (request.watch) files.hover = folder / fmt::format("{}-hover-{}.png", stem, hover);
  files.report = fs::path(p).replace_extension("json");
  return files;
}

std::vector<std::uint8_t> to_straight_rgba(std::span<const std::uint8_t> bgra) {
  std::vector<std::uint8_t> out(bgra.size() / 4 * 4);
  for (std::size_t i = 0; i < out.size(); i += 4) {
    const unsigned a = bgra[i + 3];
    const unsigned rgb[3] = {bgra[i + 2], bgra[i + 1], bgra[i]};
    for (std::size_t c = 0; c < 3; ++c) {
      out[i + c] = static_cast<std::uint8_t>(a == 0 || a == 255 ? rgb[c] : std::min(255u, rgb[c] * 255 / a));
    }
    out[i + 3] = static_cast<std::uint8_t>(a);
  }
  return out;
}

nlohmann::json progress_to_json(const std::optional<Progress>& progress) {
  if (!progress) return nullptr;
  nlohmann::json object = nlohmann::json::object();
  object["completed"] = progress->completed;
  object["detail"] = progress->detail;
  object["stage"] = stage_name(progress->stage);
  object["total"] = progress->total ? nlohmann::json(*progress->total) : nlohmann::json(nullptr);
  object["unit"] = progress_unit_name(progress->unit);
  return object;
}

std::string preview_report_text(const PreviewReport& report) {
  // nlohmann's json keeps its members in a std::map: sorted by key bytes.
  nlohmann::json metrics = nlohmann::json::array();
  for (const FontMetrics& entry : report.font_metrics) metrics.push_back(font_metrics_json(entry));
  nlohmann::json object = nlohmann::json::object();
  object["focus"] = report.focus;
  object["font_metrics"] = std::move(metrics);
  object["height"] = report.size.height;
  object["hover"] = report.hover;
  object["progress"] = progress_to_json(report.progress);
  object["ready"] = report.ready;
  object["scale"] = std::isfinite(report.scale) ? nlohmann::json(report.scale) : nlohmann::json(nullptr);
  object["width"] = report.size.width;
  return object.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
}

Status write_preview(const PreviewRequest& request, std::span<const std::uint8_t> bgra, const PreviewReport& report) {
  const std::int32_t width = report.size.width;
  const std::int32_t height = report.size.height;
  const std::size_t expected = static_cast<std::size_t>(std::max(width, 0)) * static_cast<std::size_t>(std::max(height, 0)) * 4;
  if (bgra.size() != expected) return fail(fmt::format(kFrameLengthMismatch, width, height, bgra.size(), expected));

  const PreviewFiles files = preview_files(request, report.hover);
  const std::vector<std::uint8_t> rgba = to_straight_rgba(bgra);
  const std::string image =
      QV_TRY(encode_png(rgba, static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height)));
  QV_TRY(write_file_atomic(files.image, image));

  const Span cols = crop_span(kPreviewCrop.left, kPreviewCrop.right, report.scale, width);
  const Span rows = crop_span(kPreviewCrop.top, kPreviewCrop.bottom, report.scale, height);
  const std::string buttons = QV_TRY(encode_png(crop_rows(rgba, width, cols, rows),
                                                static_cast<std::uint32_t>(cols.length()),
                                                static_cast<std::uint32_t>(rows.length())));
  QV_TRY(write_file_atomic(files.buttons, buttons));

  if (files.hover) QV_TRY(write_file_atomic(*files.hover, image));
  return write_file_atomic(files.report, preview_report_text(report));
}

}  // namespace qv
