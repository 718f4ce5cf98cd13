#pragma once

#include <AppKit/NSOpenPanel.h>
#include <AppKit/NSSavePanel.h>
