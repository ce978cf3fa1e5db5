#pragma once
// The disk-image subsystem's messages.

#include "core/session.h"

namespace companion::images {

void installImagesServices(Services& services);
void installUnmountServices(Services& services);  // unmountWithPath

}  // namespace companion::images
