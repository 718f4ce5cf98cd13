#pragma once

// The record the page receives for an endpoint: compact JSON of the five fields with the keys in
// sorted order, as Base64 of its UTF-8 bytes.

#include "NetworkDevice.h"

#include <string>

std::string deviceRecord(const NetworkDevice& device);
