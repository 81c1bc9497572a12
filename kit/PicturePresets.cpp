#include "kit/PicturePresets.h"

#include "imaging/ImageAction.h"
#include "kit/FilterPresets.h"

namespace ImageAction {

Picture filterNumber(const Picture& picture, int number)
{
    return imageWithCIImage(ImageResize::filterNumber(CIImage(picture), number));
}

Picture imageWithCIFilter(const Picture& picture, ColorFilter& filter)
{
    return imageWithCIImage(ImageResize::imageWithCIFilter(CIImage(picture), filter));
}

} // namespace ImageAction
