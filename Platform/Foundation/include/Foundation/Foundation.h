#pragma once

#include <Foundation/NSException.h>
#include <Foundation/NSFileManager.h>
#include <Foundation/NSHFSFileTypes.h>
#include <Foundation/NSObject.h>
#include <Foundation/NSPathUtilities.h>
#include <Foundation/NSTypes.h>
