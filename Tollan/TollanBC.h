// Tollan legacy conversions: the older interface's format codes and stream
// texts, mapped to and from the current "OutputFormat" values.
//
// Legacy depth codes: 1 "Shifts" (output 0), 2 "Depth" (output 1).
// Legacy image codes: 1 "YUV422" (6), 2 "RGB24" (5), 3 "Gray8" (4),
//                     4 "Gray16" (8), 5 "JPEG" (9).
// Legacy audio code:  1 "PCM" (7).
// Stream flags: "" or "None" 0, "Mirror" 1, "Crop" 2, "Rotate" 4, joined
// with '|' and matched exactly ("Mirror|Crop" is 3; "None" adds no bit).
// Pure functions; any thread.
#pragma once

#include <Tollan/TollanTypes.h>

// Unknown codes give 0x303EB (depth), 0x303EC (image) or 0x303EE (audio)
// and leave the output untouched.
KrStatus KrBCDepthFormatToOutputFormat(int32_t depthFormat, uint32_t* outputFormat);
KrStatus KrBCImageFormatToOutputFormat(int32_t imageFormat, uint32_t* outputFormat);
KrStatus KrBCAudioFormatToOutputFormat(int32_t audioFormat, uint32_t* outputFormat);
KrStatus KrBCOutputFormatToDepthFormat(uint32_t outputFormat, uint32_t* depthFormat);
KrStatus KrBCOutputFormatToImageFormat(uint32_t outputFormat, uint32_t* imageFormat);
KrStatus KrBCOutputFormatToAudioFormat(uint32_t outputFormat, uint32_t* audioFormat);

// Text to legacy code, matched exactly; -1 for an unrecognised or null text.
int32_t KrBCGetStreamDepthFormatFromString(const char* text);
int32_t KrBCGetStreamImageFormatFromString(const char* text);
int32_t KrBCGetStreamAudioFormatFromString(const char* text);
int32_t KrBCGetStreamFlagsFromString(const char* text);
