#pragma once

#include <CoreGraphics/CGDataProvider.h>
