// Fuzz target: segment data. The input is a flags byte (bit 0: compressed),
// a declared unpacked size (u32), a script length (u8), the script, and the
// segment's bytes. They are placed in a sound archive between unrelated
// bytes and a neighbouring entry, so that the decoders are reached at once:
// - the entry stream is driven by the script and checked against a model
//   decoded independently in one library call;
// - the whole-segment decoder must agree with that decoding exactly;
// - a streaming decoder given the declared size must deliver a prefix of
//   what the data leniently decodes to, in reads of the script's sizes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "archive/fuzz_entry_model.h"
#include "archive/mem_read_stream.h"
#include "archive/segment_decoder.h"
#include "archive/test_archive_builder.h"
#include "archive/xp3_archive.h"

namespace {

constexpr uint64_t kMaxModeledSize = 1 << 20;
constexpr uint64_t kMaxStreamed = 2 << 20;

void CheckStreaming(const Bytes& data, uint64_t declared, const uint8_t* script,
                    size_t script_size) {
  std::vector<uint8_t> reference;
  fuzz::SetContext("(streaming the segment alone)");
  fuzz::DecodePrefix(data.data(), data.size(), kMaxStreamed, &reference);
  std::unique_ptr<ReadStream> decoder(OpenSegmentDecoder(new MemReadStream(data), declared));
  fuzz::Require(decoder != nullptr || data.empty(), "a decoder for data that is there");
  if (decoder == nullptr) return;
  static uint8_t buf[1 << 16];
  size_t at = 0;
  for (size_t i = 0; at < kMaxStreamed; ++i) {
    const uint32_t want = script_size == 0 ? 4096 : 1u + script[i % script_size] * 97u;
    const uint32_t got = decoder->Read(buf, want);
    if (got == 0) break;
    fuzz::Require(got <= want, "no more than asked");
    fuzz::Require(at + got <= reference.size() &&
                      std::equal(buf, buf + got, reference.begin() + static_cast<ptrdiff_t>(at)),
                  "streamed bytes are the data's own");
    at += got;
  }
  fuzz::Require(decoder->Read(buf, 1) == 0 || at >= kMaxStreamed, "an ended decoder stays ended");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 6) return 0;
  const bool compressed = (data[0] & 1) != 0;
  const uint32_t declared = data[1] | (data[2] << 8) | (data[3] << 16) | (uint32_t{data[4]} << 24);
  const size_t script_size = std::min<size_t>(data[5], size - 6);
  const uint8_t* script = data + 6;
  const Bytes segment(data + 6 + script_size, data + size);
  const uint64_t unpacked = declared % (kMaxModeledSize + 1);

  // header, unrelated bytes, the segment, a neighbour entry, the index
  ArchiveBuilder builder;
  builder.AddData(Bytes(7, 0xA5));
  const uint64_t at = builder.AddData(segment);
  const Bytes neighbour = PatternData(64, 3);
  const uint64_t next = builder.AddData(neighbour);
  builder.AddIndexChunk(
      Chunk("File", Concat({Chunk("info", InfoBody(0, unpacked, segment.size(), u"segment")),
                            Chunk("segm", SegmBody({{compressed ? 1u : 0u, at, unpacked,
                                                     compressed ? segment.size() : unpacked}}))})));
  builder.AddIndexChunk(Chunk("File", Concat({Chunk("info", InfoBody(0, 64, 64, u"next")),
                                              Chunk("segm", SegmBody({{0, next, 64, 64}}))})));
  const Bytes file = builder.Build();
  TempFile temp(file);
  Xp3Archive archive(temp.path(), true);
  fuzz::Require(archive.ParseIndex() && archive.entries().size() == 2, "a sound archive mounts");
  const Xp3Entry entry = archive.entries()[0];
  std::unique_ptr<ReadStream> stream(archive.OpenEntry(entry));
  fuzz::Require(stream != nullptr, "the entry opens");
  const fuzz::EntryModel model = fuzz::ModelEntry(entry, file.data(), file.size(), kMaxModeledSize);
  fuzz::DriveEntry(stream.get(), model, script, script_size);

  if (compressed && !segment.empty() && unpacked != 0) {
    std::vector<uint8_t> reference;
    const bool sound = fuzz::DecodeWhole(segment.data(), segment.size(), unpacked, &reference);
    std::vector<uint8_t> out(unpacked);
    WholeSegmentDecoder whole;
    const bool decoded = whole.Decode(segment.data(), segment.size(), out.data(), out.size());
    fuzz::Require(decoded == sound, "the whole-segment decoder takes exactly the sound data");
    if (sound) fuzz::Require(out == reference, "and decodes it alike");
  }
  if (compressed) CheckStreaming(segment, declared, script, script_size);
  return 0;
}
