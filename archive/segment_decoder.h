// OpenSegmentDecoder: picks the decoder for compressed archive data. The
// format has one "compressed" method; data that begins with the zstd frame
// magic (28 B5 2F FD) is a zstd frame, anything else a zlib stream.
#pragma once

#include "archive/read_stream.h"

// Takes over `source`. Returns the decoder, which then owns the source, or
// null (the source closed and deleted) when the source is null, cannot seek,
// is empty, or cannot be seeked back after the peek. A decoder whose library
// set-up failed is still returned; it reads nothing and reports HasError.
ReadStream* OpenSegmentDecoder(ReadStream* source);
