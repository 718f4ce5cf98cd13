#pragma once

#include <Security/SecBase.h>
#include <Security/SecKey.h>
