#pragma once
// Headless stand-in for the AppKit calls the plug-in's launcher makes.
#include <Foundation/Foundation.h>
#include <AppKit/NSPanel.h>
