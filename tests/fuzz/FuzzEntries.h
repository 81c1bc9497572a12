#pragma once

#include <cstddef>
#include <cstdint>

// One entry per picture reader, shared by the libFuzzer targets and by the
// test that feeds every file of tests/fuzz/corpus/<reader>/ to its reader.
// Each reads the bytes and checks what any answer must satisfy; it returns
// nullptr, or what was wrong.
namespace fuzzentry {

// PngCodec::decode, both decoding paths.
const char* png(const uint8_t* data, size_t size);
// JpegCodec::decode.
const char* jpeg(const uint8_t* data, size_t size);
// PngCodec::decodeAlpha, which reads the canvas's undo snapshots.
const char* mask(const uint8_t* data, size_t size);
// ImageFile::readData: the format sniffing and Qt's readers behind it.
const char* frames(const uint8_t* data, size_t size);

} // namespace fuzzentry
