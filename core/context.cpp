#include "core/context.h"

#include "platform/memory.h"

namespace quelbrix {

void ImageFree::operator()(uint8_t* p) const { platform::FreeZeroed(p, Bytes); }

}  // namespace quelbrix
