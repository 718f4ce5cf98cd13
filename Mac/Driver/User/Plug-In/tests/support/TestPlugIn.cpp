#include "SA_PlugIn.h"
#include "TestDevice.h"

// The plug-in object of the test binaries and the test module: it makes test devices.
SA_PlugIn gInstance(&PlugInTesting::TestDevice::Create);
