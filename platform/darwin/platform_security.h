// The Security framework and CoreFoundation, as macOS provides them. The
// keychain calls used here are the file-based keychain interface, which the
// SDK marks deprecated; the build turns that warning off for these units.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <Security/Security.h>
