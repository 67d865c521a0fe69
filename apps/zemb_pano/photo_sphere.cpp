#include "photo_sphere.h"

#include <string>

#include <opencv2/imgcodecs.hpp>

#include "pano_error.h"

#ifdef ZEMB_HAVE_EXIV2
#include <exiv2/exiv2.hpp>
#endif

namespace zemb_pano {

namespace {

// Quality high enough that the picture loses nothing a viewer shows.
constexpr int kJpegQuality = 92;

#ifdef ZEMB_HAVE_EXIV2
// The GPano fields: the image is the whole sphere, so its cropped area is
// all of it.
Exiv2::XmpData photo_sphere_fields(cv::Size size) {
  Exiv2::XmpData xmp;
  xmp["Xmp.GPano.ProjectionType"] = "equirectangular";
  xmp["Xmp.GPano.UsePanoramaViewer"] = "True";
  xmp["Xmp.GPano.StitchingSoftware"] = "zemb_stitcher";
  for (const char* field : {"Xmp.GPano.FullPanoWidthPixels", "Xmp.GPano.CroppedAreaImageWidthPixels"})
    xmp[field] = std::to_string(size.width);
  for (const char* field : {"Xmp.GPano.FullPanoHeightPixels", "Xmp.GPano.CroppedAreaImageHeightPixels"})
    xmp[field] = std::to_string(size.height);
  xmp["Xmp.GPano.CroppedAreaLeftPixels"] = "0";
  xmp["Xmp.GPano.CroppedAreaTopPixels"] = "0";
  return xmp;
}

std::vector<uchar> with_metadata(const std::vector<uchar>& jpeg, cv::Size size) {
  try {
    Exiv2::XmpParser::initialize();
    Exiv2::XmpProperties::registerNs("http://ns.google.com/photos/1.0/panorama/", "GPano");
    const auto image = Exiv2::ImageFactory::open(jpeg.data(), static_cast<long>(jpeg.size()));
    image->readMetadata();
    image->setXmpData(photo_sphere_fields(size));
    image->writeMetadata();
    Exiv2::BasicIo& io = image->io();
    io.seek(0, Exiv2::BasicIo::beg);
    const Exiv2::DataBuf bytes = io.read(static_cast<long>(io.size()));
    return std::vector<uchar>(bytes.pData_, bytes.pData_ + bytes.size_);
  } catch (const Exiv2::AnyError& e) {
    throw PanoError(kExitFailure, std::string("cannot write the photo-sphere metadata: ") + e.what());
  }
}
#endif

}  // namespace

bool photo_spheres_supported() {
#ifdef ZEMB_HAVE_EXIV2
  return true;
#else
  return false;
#endif
}

std::vector<uchar> photo_sphere_jpeg(const cv::Mat& sphere) {
  if (!photo_spheres_supported())
    throw PanoError(kExitFailure, "this zemb_pano was built without libexiv2: it cannot write photo spheres");
  std::vector<uchar> jpeg;
  if (!cv::imencode(".jpg", sphere, jpeg, {cv::IMWRITE_JPEG_QUALITY, kJpegQuality}))
    throw PanoError(kExitFailure, "cannot encode a JPEG image");
#ifdef ZEMB_HAVE_EXIV2
  jpeg = with_metadata(jpeg, sphere.size());
#endif
  return jpeg;
}

}  // namespace zemb_pano
