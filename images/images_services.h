#pragma once
// The disk-image subsystem's messages.

#include "core/session.h"

namespace companion::images {

void installImagesServices(Services& services);

}  // namespace companion::images
