// A panorama of the whole sphere as a photo sphere: a JPEG whose XMP
// metadata (Google's GPano schema) tells panorama viewers that it is
// equirectangular and how much of the sphere it covers. The metadata is
// written with libexiv2 when the program was built with it.
#ifndef ZEMB_PANO_PHOTO_SPHERE_H
#define ZEMB_PANO_PHOTO_SPHERE_H

#include <vector>

#include <opencv2/core.hpp>

namespace zemb_pano {

// Whether this build can write the metadata.
bool photo_spheres_supported();

// `sphere` (CV_8UC3, twice as wide as high: the whole sphere) encoded as a
// JPEG carrying the photo-sphere metadata. PanoError (kExitFailure) when it
// cannot be encoded or the build has no libexiv2.
std::vector<uchar> photo_sphere_jpeg(const cv::Mat& sphere);

}  // namespace zemb_pano

#endif  // ZEMB_PANO_PHOTO_SPHERE_H
