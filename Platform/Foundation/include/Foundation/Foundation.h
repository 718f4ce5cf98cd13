#pragma once

#include <Foundation/NSBundle.h>
#include <Foundation/NSData.h>
#include <Foundation/NSException.h>
#include <Foundation/NSFileManager.h>
#include <Foundation/NSGeometry.h>
#include <Foundation/NSHFSFileTypes.h>
#include <Foundation/NSLog.h>
#include <Foundation/NSObject.h>
#include <Foundation/NSPathUtilities.h>
#include <Foundation/NSProcessInfo.h>
#include <Foundation/NSString.h>
#include <Foundation/NSTypes.h>
#include <Foundation/NSURL.h>
#include <Foundation/NSURLParts.h>
#include <Foundation/NSURLSession.h>
#include <Foundation/NSValue.h>
