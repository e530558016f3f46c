// The library's default frame, created with its own thread on first use.
#ifndef VEMNET_DEFAULT_FRAME_H
#define VEMNET_DEFAULT_FRAME_H

#include "frame/base_selector.h"

// Null when it cannot be created. Safe under concurrent first calls.
BaseSelector* GetDefaultFrame();
// The frame a factory was given, or the default frame for null.
BaseSelector* FrameOrDefault(IAsyncSelector* frame);
// Tells the default frame to stop, if it was ever made (library unload).
void StopDefaultFrame();

#endif
