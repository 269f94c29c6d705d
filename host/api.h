// Visibility of the host framework's names.
//
// The host framework is one shared library that the host process loads before
// any device plug-in. A plug-in is built with hidden visibility; the host's
// classes and functions are marked default so that the plug-in's references to
// them stay undefined in the plug-in and are bound by the dynamic loader to the
// host process.
#pragma once

#define HOST_API __attribute__((visibility("default")))
