// view.html and the viewer files it loads, copied beside it.
#include "viewer_page.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "pano_error.h"

namespace zemb_pano {

namespace fs = std::filesystem;

namespace {

PanoError write_error(const std::string& path, const std::string& why) {
  return PanoError(kExitBadOutput, "cannot write " + path + ": " + why);
}

// The vendored viewers: installed beside the program's share folder, else
// in the source tree this program was built from.
fs::path viewer_sources() {
  std::error_code error;
  const fs::path program = fs::read_symlink("/proc/self/exe", error);
  const fs::path installed = program.parent_path().parent_path() / "share" / "zemb_stitcher" / "viewer";
  if (!error && fs::is_directory(installed)) return installed;
  const fs::path sources = ZEMB_VIEWER_SOURCES;
  if (fs::is_directory(sources)) return sources;
  throw PanoError(kExitFailure, "the viewer files are missing (looked in " + installed.string() + " and " +
                                    sources.string() + ")");
}

// Copies one vendored viewer (its scripts, images and licence) into
// FOLDER/viewer/NAME, replacing an older copy's files.
void copy_viewer(const std::string& folder, const std::string& name) {
  const fs::path target = fs::path(folder) / "viewer" / name;
  std::error_code error;
  fs::create_directories(target, error);
  if (!error)
    fs::copy(viewer_sources() / name, target, fs::copy_options::recursive | fs::copy_options::overwrite_existing,
             error);
  if (error) throw write_error(target.string(), error.message());
}

std::string read_text(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw PanoError(kExitBadInput, "cannot read " + path);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

void write_text(const std::string& path, const std::string& text) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << text;
  file.close();
  if (!file) throw write_error(path, "the file cannot be written");
}

// Text for a JavaScript string literal: quotes, backslashes, line breaks
// and anything that could end the script element are escaped.
std::string js_string(const std::string& text) {
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') quoted += '\\';
    if (c == '<' || c == '\n' || c == '\r') {
      quoted += c == '<' ? "\\x3c" : c == '\n' ? "\\n" : "\\r";
      continue;
    }
    quoted += c;
  }
  return quoted + "\"";
}

std::string base64(const std::string& bytes) {
  static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t left = std::min<std::size_t>(3, bytes.size() - i);
    unsigned value = 0;
    for (std::size_t k = 0; k < 3; ++k)
      value = value << 8 | (k < left ? static_cast<unsigned char>(bytes[i + k]) : 0u);
    for (std::size_t k = 0; k < 4; ++k) text += k <= left ? kDigits[(value >> (18 - 6 * k)) & 63] : '=';
  }
  return text;
}

// Text for HTML: a file name may hold what HTML reads as markup.
std::string html_text(const std::string& text) {
  std::string escaped;
  for (char c : text) {
    if (c == '&') escaped += "&amp;";
    else if (c == '<') escaped += "&lt;";
    else if (c == '>') escaped += "&gt;";
    else escaped += c;
  }
  return escaped;
}

std::string page(const std::string& title, const std::string& head, const std::string& script) {
  return "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\">\n<title>" + html_text(title) +
         "</title>\n<style>html, body { margin: 0; height: 100%; background: #111; } "
         "#view { width: 100%; height: 100%; }</style>\n" +
         head + "</head>\n<body>\n<div id=\"view\"></div>\n<script>\n" + script + "</script>\n</body>\n</html>\n";
}

std::string write_page(const std::string& folder, const std::string& html) {
  const std::string path = (fs::path(folder) / "view.html").string();
  write_text(path, html);
  return fs::absolute(path).lexically_normal().string();
}

// The deep-zoom page over an OpenSeadragon tile source (a JavaScript value).
// The canvas drawer: WebGL may not read images from files.
std::string write_deep_zoom_page(const std::string& folder, const std::string& title,
                                 const std::string& tile_source) {
  copy_viewer(folder, "openseadragon");
  return write_page(
      folder,
      page(title, "<script src=\"viewer/openseadragon/openseadragon.min.js\"></script>\n",
           "window.zembViewer = OpenSeadragon({\n  id: \"view\",\n  prefixUrl: \"viewer/openseadragon/images/\",\n"
           "  drawer: \"canvas\",\n  showNavigator: true,\n  visibilityRatio: 0.5,\n  maxZoomPixelRatio: 2,\n"
           "  tileSources: " + tile_source + "\n});\n"));
}

// One attribute of the .dzi's XML, as written by libvips.
std::string dzi_attribute(const std::string& dzi, const std::string& path, const std::string& name) {
  std::smatch match;
  if (!std::regex_search(dzi, match, std::regex(name + "=\"([^\"]*)\"")))
    throw PanoError(kExitBadInput, path + " has no " + name);
  return match[1];
}

}  // namespace

std::string write_pyramid_page(const std::string& folder, const std::string& name) {
  const std::string path = (fs::path(folder) / (name + ".dzi")).string();
  const std::string dzi = read_text(path);
  std::string source = "{ Image: { xmlns: \"http://schemas.microsoft.com/deepzoom/2008\", Url: " +
                       js_string(name + "_files/");
  for (const char* field : {"Format", "Overlap", "TileSize"})
    source += std::string(", ") + field + ": " + js_string(dzi_attribute(dzi, path, field));
  source += ", Size: { Width: " + js_string(dzi_attribute(dzi, path, "Width")) +
            ", Height: " + js_string(dzi_attribute(dzi, path, "Height")) + " } } }";
  return write_deep_zoom_page(folder, name, source);
}

std::string write_image_page(const std::string& folder, const std::string& image) {
  return write_deep_zoom_page(folder, image, "{ type: \"image\", url: " + js_string(image) + " }");
}

std::string write_sphere_page(const std::string& folder, const std::string& image_path) {
  const std::string bytes = read_text(image_path);
  const cv::Mat image = cv::imdecode(std::vector<uchar>(bytes.begin(), bytes.end()), cv::IMREAD_REDUCED_COLOR_8);
  if (image.empty()) throw PanoError(kExitBadInput, image_path + " is not an image this program reads");
  if (std::abs(image.cols - 2 * image.rows) > 1)
    throw PanoError(kExitBadInput, image_path + " is not equirectangular (twice as wide as high)");
  const bool png = bytes.compare(0, 4, "\x89PNG") == 0;
  const bool jpeg = bytes.compare(0, 2, "\xFF\xD8") == 0;
  if (!png && !jpeg) throw PanoError(kExitBadInput, image_path + " is neither JPEG nor PNG, which browsers show");
  write_text((fs::path(folder) / "view_panorama.js").string(),
             std::string("window.zembPanorama = \"data:image/") + (png ? "png" : "jpeg") + ";base64," +
                 base64(bytes) + "\";\n");
  copy_viewer(folder, "pannellum");
  const std::string title = fs::path(image_path).filename().string();
  return write_page(
      folder, page(title,
                   "<link rel=\"stylesheet\" href=\"viewer/pannellum/pannellum.css\">\n"
                   "<script src=\"viewer/pannellum/pannellum.js\"></script>\n"
                   "<script src=\"view_panorama.js\"></script>\n",
                   "window.zembViewer = pannellum.viewer(\"view\", {\n  type: \"equirectangular\",\n"
                   "  panorama: window.zembPanorama,\n  autoLoad: true,\n  showControls: true\n});\n"));
}

}  // namespace zemb_pano
