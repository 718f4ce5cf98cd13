#include "SA_DeviceUSB.h"
#include "SA_PlugIn.h"

// The plug-in object of the shipped module: it makes USB devices.
SA_PlugIn gInstance(&SA_DeviceUSB::Create);
