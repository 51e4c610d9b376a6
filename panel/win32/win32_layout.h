// The few pieces of the panel's Win32 layer that are plain arithmetic on text and pixels, kept
// apart from the Win32 calls so that both builds compile them and the host tests them.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

class Raster;

// The arguments of a command line as the framework hands them to the program: the text after
// the program's name (quoted or not) and the blanks that follow it.
std::u16string CommandLineTailOf(const std::u16string& commandLine);

// The bytes of a DIB's rows for `picture`, top row first, blue-green-red, each row padded to
// `stride` bytes (at least width * 3); `bits` holds stride * height bytes.
void CopyToDibRows(const Raster& picture, uint8_t* bits, size_t stride);
size_t DibStride(int width);

// The top-left corner that centres a w by h window in the work area (left, top, right,
// bottom), kept inside it when the window is larger.
void CentredOrigin(int left, int top, int right, int bottom, int w, int h, int* x, int* y);

// The notification-icon record's size: the layout that carries the balloon icon (956 bytes on
// 32-bit Windows, 976 on 64-bit), or the older 952/968-byte layout without it for systems before
// major version 6, whose shell refuses sizes it does not know.
uint32_t TrayRecordSize(bool pointers64, uint32_t osMajorVersion);
