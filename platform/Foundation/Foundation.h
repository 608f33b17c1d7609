#pragma once
// Headless stand-in for the Foundation classes the plug-in's launcher calls.
//
// Memory: objects are reference counted. alloc() returns an object the caller
// owns; release() gives it up, and the last release runs dealloc(). Unlike the
// platform there is no autorelease pool: every method that makes a new object
// (alloc/init, availableData) hands it over owned, while getters
// (objectAtIndex, fileHandleForReading, userInfo, ...) lend theirs.
#include <Foundation/NSObjCRuntime.h>
#include <Foundation/NSObject.h>
#include <Foundation/NSString.h>
#include <Foundation/NSData.h>
#include <Foundation/NSArray.h>
#include <Foundation/NSDictionary.h>
#include <Foundation/NSException.h>
#include <Foundation/NSDate.h>
#include <Foundation/NSNotification.h>
#include <Foundation/NSRunLoop.h>
#include <Foundation/NSFileHandle.h>
#include <Foundation/NSTask.h>
