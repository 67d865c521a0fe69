// view.html: a page that shows a result of zemb_pano in a browser, opened
// straight from its folder (file://, no server): a deep-zoom viewer
// (OpenSeadragon) over a DeepZoom pyramid or a flat image, or a 360-degree
// viewer (Pannellum) over an equirectangular image of the whole sphere. The
// viewers' scripts are copied into FOLDER/viewer/ from the vendored copies
// (third_party/ in the sources, share/zemb_stitcher/viewer when installed).
#ifndef ZEMB_PANO_VIEWER_PAGE_H
#define ZEMB_PANO_VIEWER_PAGE_H

#include <string>

namespace zemb_pano {

// Writes FOLDER/view.html over FOLDER/NAME.dzi, whose size and tile layout
// are read from it and written into the page: a page opened from a folder
// may load images but not read files, so the viewer gets the pyramid's
// description inline. Returns the page's path; PanoError (kExitBadOutput)
// when something cannot be read or written.
std::string write_pyramid_page(const std::string& folder, const std::string& name);

// The same over the flat image FOLDER/IMAGE (a file name).
std::string write_image_page(const std::string& folder, const std::string& image);

// Writes FOLDER/view.html showing the equirectangular image at
// `image_path` (360 by 180 degrees, twice as wide as high) in a 360-degree
// viewer. Browsers refuse a page's WebGL the pixels of an image read from
// another file, so the image goes into FOLDER/view_panorama.js as data the
// page holds itself. PanoError (kExitBadInput) for an image that cannot be
// read or is not twice as wide as high, kExitBadOutput for a write failure.
std::string write_sphere_page(const std::string& folder, const std::string& image_path);

}  // namespace zemb_pano

#endif  // ZEMB_PANO_VIEWER_PAGE_H
