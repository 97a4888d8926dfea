// The keychain programs' platform header for a macOS build made without the
// Security and CoreFoundation headers: the stand-in's declarations follow
// the frameworks' signatures, which is what compiling the programs needs.
#pragma once

#include "../platform_security.h"
