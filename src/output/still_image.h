// Still-image writers: BMP, raw pixel dumps, JPEG, PNG, TIFF and headerless
// temperature arrays. Every writer returns 1 on success and 0 on failure and
// keeps its state on the stack, so saves may run on several threads at once.
#pragma once

#include <cstdint>

#include "output/dib_image.h"
#include "output/temperature_rows.h"

namespace kalvex {

// Formats of SaveImageFile.
enum StillFormat : int {
    kStillBmp = 0,
    kStillRaw = 1,
    kStillJpeg100 = 2,
    kStillJpeg70 = 3,
    kStillJpeg20 = 4,
    kStillPng = 5,
    kStillTiff = 6,
};

// One image in format 0-6; 0 for a null image or an unknown format.
int SaveImageFile(const wchar_t *fileName, const CDibImage *image, int format);
// The same for a copy of image with its rows reversed.
int SaveFlipped(const wchar_t *fileName, const CDibImage *image, int format);
// Format 1: height x stride bytes, rows in buffer order, padding included.
int SaveRawFile(const wchar_t *fileName, const CDibImage &image);
// 8 (grey) or 24-bit images; rows from buffer row height - 1, BGR stored as RGB.
// A library error fails the save.
int SaveJpegFile(const wchar_t *fileName, const CDibImage &image, int quality, int progressive);
// 8, 16, 24, 32, 48 or 64-bit images; first PNG row is buffer row height - 1.
// 16-bit samples are taken as 14-bit values already widened (ConvScaleSamples)
// and the file declares them with an sBIT chunk of 14.
int SavePngFile(const wchar_t *fileName, const CDibImage &image);
// One uncompressed strip, rows reversed and blue/red swapped by ConvFlipRgb.
int SaveTiffFile(const wchar_t *fileName, const CDibImage &image);

// Temperature arrays (save types 10-13) of a 16-bit raw image: width x height
// values, no padding. Output row k comes from buffer row height - 1 - k when
// fromLastRow, else from buffer row k. Types 10-12 convert the interpolated
// temperatures, type 13 stores the looked-up ones: each row is handed over
// with its row number, so that an emissivity map applies.
int SaveTemperatureFile(const wchar_t *fileName, const CDibImage &raw, int type,
                        const ITemperatureRows &table, bool fromLastRow);

// The clamping of the temperature arrays.
int8_t TemperatureToInt8(float celsius);
uint8_t TemperatureToUint8(float celsius);
int32_t TemperatureToInt32(float celsius);

}  // namespace kalvex
