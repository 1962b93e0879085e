#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <thread>
#include <typeinfo>

#include "archive/mem_read_stream.h"
#include "archive/read_stream_region.h"
#include "archive/segment_decoder.h"
#include "archive/test_archive_builder.h"
#include "archive/zlib_decompressor.h"
#include "archive/zstd_decompressor.h"

namespace {

using Decoder = std::unique_ptr<ReadStream>;

Decoder Open(const Bytes& data) { return Decoder(OpenSegmentDecoder(new MemReadStream(data))); }

// Reads everything in reads of `step` bytes.
Bytes Drain(ReadStream* s, uint32_t step) {
  Bytes out;
  Bytes buf(step);
  for (uint32_t n; (n = s->Read(buf.data(), step)) > 0;)
    out.insert(out.end(), buf.begin(), buf.begin() + n);
  return out;
}

// How many bytes the library delivers from `packed` given all of it at once
// and room for `room` bytes (a reference that shares no code with the
// decoders under test).
size_t LibraryDecodesOf(const Bytes& packed, bool zstd, size_t room) {
  Bytes out(room);
  if (zstd) {
    ZSTD_DStream* stream = ZSTD_createDStream();
    ZSTD_inBuffer in{packed.data(), packed.size(), 0};
    ZSTD_outBuffer result{out.data(), out.size(), 0};
    for (size_t before = SIZE_MAX; result.pos != before;) {
      before = result.pos;
      const size_t left = ZSTD_decompressStream(stream, &result, &in);
      if (ZSTD_isError(left) || left == 0) break;
    }
    ZSTD_freeDStream(stream);
    return result.pos;
  }
  z_stream stream{};
  inflateInit(&stream);
  stream.next_in = const_cast<Bytef*>(packed.data());
  stream.avail_in = static_cast<uInt>(packed.size());
  stream.next_out = out.data();
  stream.avail_out = static_cast<uInt>(out.size());
  inflate(&stream, Z_SYNC_FLUSH);
  inflateEnd(&stream);
  return stream.total_out;
}

struct Codec {
  const char* name;
  Bytes (*compress)(const Bytes&);
  bool is_zstd;
  Bytes (*corrupt)(const Bytes&);  // damage the decoder detects
};

class BothCodecs : public testing::TestWithParam<Codec> {};

TEST_P(BothCodecs, DecoderIsChosenByTheFirstFourBytes) {
  const Bytes data = PatternData(1000, 1);
  Decoder d = Open(GetParam().compress(data));
  ASSERT_NE(d, nullptr);
  if (GetParam().is_zstd) {
    EXPECT_NE(dynamic_cast<ZstdDecompressor*>(d.get()), nullptr);
  } else {
    EXPECT_NE(dynamic_cast<ZlibDecompressor*>(d.get()), nullptr);
  }
  EXPECT_EQ(Drain(d.get(), 4096), data);
  EXPECT_TRUE(d->IsEof());
  EXPECT_FALSE(d->HasError());
}

TEST_P(BothCodecs, AnyPatternOfReadSizesGivesTheSameBytes) {
  // Large enough for several input blocks and several output blocks of the
  // libraries, so that small reads leave decoded bytes waiting inside them.
  const Bytes data = PatternData(300 * 1024, 2);
  const Bytes packed = GetParam().compress(data);
  for (uint32_t step : {1u, 3u, 4095u, 8192u, 100000u}) {
    Decoder d = Open(packed);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(Drain(d.get(), step), data) << "reads of " << step;
    EXPECT_FALSE(d->HasError());
  }
}

TEST_P(BothCodecs, OnlyTheFirstStreamIsDeliveredAndTrailingBytesAreIgnored) {
  const Bytes first = PatternData(5000, 3);
  const Bytes second = PatternData(5000, 4);
  const Bytes packed = Concat({GetParam().compress(first), GetParam().compress(second)});
  for (uint32_t step : {1u, 100000u}) {
    Decoder d = Open(packed);
    EXPECT_EQ(Drain(d.get(), step), first);
    EXPECT_FALSE(d->HasError());
    EXPECT_TRUE(d->IsEof());
    uint8_t b;
    EXPECT_EQ(d->Read(&b, 1), 0u);
  }
}

TEST_P(BothCodecs, TruncatedDataDeliversWhatCanBeDecodedWithoutAnError) {
  const Bytes data = PatternData(200 * 1024, 5);
  Bytes packed = GetParam().compress(data);
  packed.resize(packed.size() * 2 / 3);
  // What the library itself makes of the truncated data in one call.
  const size_t reference = LibraryDecodesOf(packed, GetParam().is_zstd, data.size());
  ASSERT_GT(reference, 0u);
  ASSERT_LT(reference, data.size());
  for (uint32_t step : {100000u, 1u, 777u}) {
    Decoder d = Open(packed);
    const Bytes got = Drain(d.get(), step);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin()));
    EXPECT_EQ(got.size(), reference) << "reads of " << step;
    EXPECT_FALSE(d->HasError());
    EXPECT_TRUE(d->IsEof());
    uint8_t b;
    EXPECT_EQ(d->Read(&b, 1), 0u);
  }
}

TEST_P(BothCodecs, CannotSeekAndReadsNothingAtAnOffset) {
  Decoder d = Open(GetParam().compress(PatternData(100, 6)));
  uint8_t buf[10];
  EXPECT_FALSE(d->IsSeekable());
  EXPECT_FALSE(d->Seek(0, Begin));
  EXPECT_EQ(d->Tell(), -1);
  EXPECT_EQ(d->ReadAt(buf, 10, 0), 0u);
  EXPECT_EQ(d->Read(buf, 0), 0u);
  EXPECT_FALSE(d->HasError());
}

TEST_P(BothCodecs, CloseOverARegionLeavesDecodingPossible) {
  const Bytes data = PatternData(50000, 7);
  const Bytes packed = GetParam().compress(data);
  MemReadStream file(Concat({Bytes(10, 0xAA), packed, Bytes(10, 0xBB)}));
  Decoder d(OpenSegmentDecoder(new ReadStreamRegion(&file, 10, 10 + packed.size())));
  ASSERT_NE(d, nullptr);
  Bytes got(20000);
  ASSERT_EQ(d->Read(got.data(), 20000), 20000u);
  EXPECT_TRUE(d->Close());
  const Bytes rest = Drain(d.get(), 4096);
  got.insert(got.end(), rest.begin(), rest.end());
  EXPECT_EQ(got, data);
}

TEST_P(BothCodecs, SkipDecodesAndDiscards) {
  const Bytes data = PatternData(20000, 8);
  Decoder d = Open(GetParam().compress(data));
  EXPECT_TRUE(d->Skip(12345));
  uint8_t b = 0;
  ASSERT_EQ(d->Read(&b, 1), 1u);
  EXPECT_EQ(b, data[12345]);
  EXPECT_TRUE(d->Skip(1000000));  // past the end: the stream just ends
  EXPECT_TRUE(d->IsEof());
}

// The whole-segment decoder is a shortcut for the streaming decoders: it may
// only claim data that they deliver completely and end cleanly.
TEST_P(BothCodecs, WholeSegmentDecoderAcceptsExactlyTheCleanCases) {
  const Bytes data = PatternData(300000, 14);
  const Bytes packed = GetParam().compress(data);
  WholeSegmentDecoder whole;
  Bytes out(data.size() + 1);
  auto decode = [&](const Bytes& in, size_t size) {
    return whole.Decode(in.data(), in.size(), out.data(), size);
  };
  EXPECT_TRUE(decode(packed, data.size()));
  EXPECT_TRUE(std::equal(data.begin(), data.end(), out.begin()));
  // Bytes behind the stream are never read by the streaming decoders either.
  EXPECT_TRUE(decode(Concat({packed, Bytes(9, 0x5A)}), data.size()));
  EXPECT_FALSE(decode(packed, data.size() - 1)) << "more data than the segment holds";
  EXPECT_FALSE(decode(packed, data.size() + 1)) << "less data than the segment holds";
  EXPECT_FALSE(decode(Bytes(packed.begin(), packed.end() - 5), data.size())) << "truncated";
  // A second stream would not be delivered by the streaming decoders.
  const Bytes twice = Concat({packed, packed});
  Bytes big(2 * data.size());
  EXPECT_FALSE(whole.Decode(twice.data(), twice.size(), big.data(), big.size()));
  EXPECT_FALSE(decode(GetParam().corrupt(packed), data.size()));
  // Failures leave the reused contexts fit for the next segment.
  EXPECT_TRUE(decode(packed, data.size()));
  EXPECT_TRUE(std::equal(data.begin(), data.end(), out.begin()));
  EXPECT_FALSE(whole.Decode(nullptr, 0, out.data(), 1));
  EXPECT_FALSE(whole.Decode(packed.data(), packed.size(), out.data(), 0));
}

INSTANTIATE_TEST_SUITE_P(Decoders, BothCodecs,
                         testing::Values(Codec{"zlib", ZlibCompress, false, CorruptZlib},
                                         Codec{"zstd", ZstdCompress, true, CorruptZstd}),
                         [](const testing::TestParamInfo<Codec>& info) { return info.param.name; });

TEST(SegmentDecoder, EmptyOrUnseekableSourcesGiveNoDecoder) {
  EXPECT_EQ(OpenSegmentDecoder(nullptr), nullptr);
  EXPECT_EQ(Open(Bytes{}), nullptr);
  // A decoder is not seekable, so a decoder over it is refused (and the
  // inner one deleted; the sanitizer build would see a leak).
  ReadStream* inner = OpenSegmentDecoder(new MemReadStream(ZlibCompress(Bytes(10, 1))));
  ASSERT_NE(inner, nullptr);
  EXPECT_EQ(OpenSegmentDecoder(inner), nullptr);
}

TEST(SegmentDecoder, ShortDataIsTriedAsZlib) {
  // A lone first header byte is just a truncated zlib stream; three bytes of
  // the zstd magic are a zlib header that fails its check.
  for (const Bytes& data : {Bytes{0x78}, Bytes{0x28, 0xB5, 0x2F}}) {
    Decoder d = Open(data);
    ASSERT_NE(d, nullptr);
    EXPECT_NE(dynamic_cast<ZlibDecompressor*>(d.get()), nullptr);
    uint8_t b;
    EXPECT_EQ(d->Read(&b, 1), 0u);
    EXPECT_EQ(d->HasError(), data.size() == 3);
    EXPECT_TRUE(d->IsEof());
  }
}

TEST(SegmentDecoder, OtherFormatsOfDeflateDataAreRefused) {
  const Bytes data = PatternData(1000, 9);
  const Bytes zlib = ZlibCompress(data);
  // Raw deflate (header and trailer cut off) and a gzip-style header.
  const Bytes raw(zlib.begin() + 2, zlib.end() - 4);
  const Bytes gzip = Concat({Bytes{0x1F, 0x8B, 0x08, 0, 0, 0, 0, 0, 0, 0x03}, raw});
  for (const Bytes& packed : {raw, gzip}) {
    Decoder d = Open(packed);
    ASSERT_NE(d, nullptr);
    Drain(d.get(), 4096);
    EXPECT_TRUE(d->HasError());
  }
}

TEST(ZlibDecompressor, CorruptChecksumDeliversTheDataThenReportsAnError) {
  const Bytes data = PatternData(3000, 10);
  Bytes packed = ZlibCompress(data);
  packed.back() ^= 0xFF;
  Decoder d = Open(packed);
  EXPECT_EQ(Drain(d.get(), 4096), data);
  EXPECT_TRUE(d->HasError());
}

TEST(ZlibDecompressor, StreamCutBeforeItsTrailerDeliversEverythingToSmallReadsToo) {
  // Long matches at the very end of the data: a reader with a small buffer
  // must get all of them even though no trailer follows.
  for (size_t size = 1000; size < 1016; ++size) {
    const Bytes data(size, 'A');
    Bytes packed = ZlibCompress(data);
    packed.resize(packed.size() - 4);
    for (uint32_t step : {1u, 7u, 100000u}) {
      Decoder d = Open(packed);
      EXPECT_EQ(Drain(d.get(), step).size(), data.size())
          << "reads of " << step << " size " << size;
      EXPECT_FALSE(d->HasError());
    }
  }
}

TEST(ZlibDecompressor, CorruptDataStopsWithAnErrorForGood) {
  const Bytes data = PatternData(30000, 11);
  Bytes packed = ZlibCompress(data);
  for (size_t i = packed.size() / 2; i < packed.size() / 2 + 16; ++i) packed[i] ^= 0x5A;
  Decoder d = Open(packed);
  const Bytes got = Drain(d.get(), 1000);
  EXPECT_LT(got.size(), data.size());
  EXPECT_TRUE(d->HasError());
  uint8_t b;
  EXPECT_EQ(d->Read(&b, 1), 0u);
}

// A zlib header whose dictionary flag is set (78 20, then the dictionary's
// checksum): zlib asks for a preset dictionary, which this format never
// has, and asks again at every call without consuming anything. That is a
// failure, at once and for good, never a reason to call again.
Bytes ZlibWantingADictionary() {
  const Bytes data = ZlibCompress(PatternData(5000, 15));
  return Concat({Bytes{0x78, 0x20, 0x12, 0x34, 0x56, 0x78}, Bytes(data.begin() + 2, data.end())});
}

// Runs `work` on a thread of its own. Work that has not ended by the
// deadline loops: the failure is reported and the program ends at once,
// since the looping thread cannot be stopped.
template <typename Work>
void EndsWithin(std::chrono::seconds deadline, const char* what, Work work) {
  std::promise<void> done;
  std::future<void> ended = done.get_future();
  std::thread runner([&] {
    work();
    done.set_value();
  });
  if (ended.wait_for(deadline) != std::future_status::ready) {
    ADD_FAILURE() << what << " has not ended after " << deadline.count() << " s: it loops";
    std::fflush(stdout);
    std::_Exit(1);
  }
  runner.join();
}

TEST(ZlibDecompressor, EveryFailureOfTheLibraryEndsInAnErrorNeverInALoop) {
  const Bytes data = PatternData(5000, 15);
  const Bytes packed = ZlibCompress(data);
  Bytes bad_header = packed;
  bad_header[1] ^= 0x01;  // the header check fails
  Bytes bad_method = packed;
  bad_method[0] = 0x79;  // compression method 9
  Bytes bad_block = packed;
  bad_block[2] |= 0x06;  // reserved block type 3
  for (const Bytes& broken : {ZlibWantingADictionary(), bad_header, bad_method, bad_block}) {
    for (uint32_t step : {1u, 4096u}) {
      Decoder d = Open(broken);
      ASSERT_NE(d, nullptr);
      EndsWithin(std::chrono::seconds(30), "reading damaged zlib data", [&] {
        EXPECT_TRUE(Drain(d.get(), step).empty());
        uint8_t b;
        EXPECT_EQ(d->Read(&b, 1), 0u);
      });
      EXPECT_TRUE(d->HasError());
    }
  }
  WholeSegmentDecoder whole;
  Bytes out(data.size());
  EXPECT_FALSE(whole.Decode(ZlibWantingADictionary().data(), ZlibWantingADictionary().size(),
                            out.data(), out.size()));
  EXPECT_TRUE(whole.Decode(packed.data(), packed.size(), out.data(), out.size()));
  EXPECT_EQ(out, data);
}

// zstd frames that the library refuses: one that needs a dictionary, one
// whose content checksum does not match, one that names more content than
// it holds.
TEST(ZstdDecompressor, EveryFailureOfTheLibraryEndsInAnError) {
  const Bytes data = PatternData(3000, 16);
  // Frame header: magic, descriptor (single segment, 2-byte content size,
  // checksum flag, dictionary id of one byte), then one raw last block.
  auto frame = [&](uint8_t descriptor, const Bytes& dict_id, uint16_t content, bool checksum) {
    ByteWriter w;
    w.U32(0xFD2FB528).U8(descriptor).Raw(dict_id).U16(static_cast<uint16_t>(content - 256));
    const uint32_t block = static_cast<uint32_t>(data.size()) << 3 | 1;
    w.U8(static_cast<uint8_t>(block)).U8(static_cast<uint8_t>(block >> 8));
    w.U8(static_cast<uint8_t>(block >> 16)).Raw(data);
    if (checksum) w.U32(0x12345678);  // not the data's
    return w.bytes();
  };
  const auto size = static_cast<uint16_t>(data.size());
  const Bytes sound = frame(0x60, {}, size, false);
  {
    Decoder d = Open(sound);
    EXPECT_EQ(Drain(d.get(), 4096), data);
    EXPECT_FALSE(d->HasError());
  }
  for (const Bytes& broken : {frame(0x61, {0x07}, size, false), frame(0x64, {}, size, true),
                              frame(0x60, {}, static_cast<uint16_t>(size + 1), false)}) {
    Decoder d = Open(broken);
    ASSERT_NE(d, nullptr);
    Drain(d.get(), 4096);
    EXPECT_TRUE(d->HasError());
    uint8_t b;
    EXPECT_EQ(d->Read(&b, 1), 0u);
  }
}

TEST(ZstdDecompressor, MagicFollowedByGarbageIsAnError) {
  Decoder d = Open(Concat({Bytes{0x28, 0xB5, 0x2F, 0xFD}, Bytes(32, 0xFF)}));
  ASSERT_NE(dynamic_cast<ZstdDecompressor*>(d.get()), nullptr);
  uint8_t buf[16];
  EXPECT_EQ(d->Read(buf, sizeof buf), 0u);
  EXPECT_TRUE(d->HasError());
}

TEST(ZstdDecompressor, CorruptBlockIsAnError) {
  const Bytes data = PatternData(300000, 12);
  const Bytes packed = CorruptZstd(ZstdCompress(data));
  Decoder d = Open(packed);
  const Bytes got = Drain(d.get(), 4096);
  EXPECT_GT(got.size(), 0u);
  EXPECT_LT(got.size(), data.size());
  EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin()));
  EXPECT_TRUE(d->HasError());
}

TEST(Decoders, ErrorOfTheSourceIsAnErrorOfTheDecoder) {
  // A region that starts below 0 fails at once; as the decoder's source it
  // must surface as an error, not as a quiet end of data.
  MemReadStream file(ZlibCompress(PatternData(1000, 13)));
  auto* region = new ReadStreamRegion(&file, 0, 100000);
  Decoder zlib(new ZlibDecompressor(region));
  Drain(zlib.get(), 4096);
  EXPECT_FALSE(zlib->HasError());
  Decoder broken(new ZstdDecompressor(new ReadStreamRegion(&file, -1, 10)));
  uint8_t b;
  EXPECT_EQ(broken->Read(&b, 1), 0u);
  EXPECT_TRUE(broken->HasError());
}

TEST(WholeSegmentDecoder, SwitchesBetweenFormatsFromSegmentToSegment) {
  WholeSegmentDecoder whole;
  for (int i = 0; i < 6; ++i) {
    const Bytes data = PatternData(1000 + static_cast<size_t>(i) * 20000, 20 + i);
    const Bytes packed = i % 2 == 0 ? ZlibCompress(data) : ZstdCompress(data);
    Bytes out(data.size());
    ASSERT_TRUE(whole.Decode(packed.data(), packed.size(), out.data(), out.size())) << i;
    EXPECT_EQ(out, data) << i;
  }
}

// Data that stops right after the last content bytes, before its stream's
// end (the checksum that follows them cut off): every byte can be decoded,
// yet the data never ended cleanly. The whole-segment decoder refuses it,
// and a streaming decoder delivers (some of) the bytes without finishing.
TEST(Decoders, DataCutBeforeItsChecksumNeverFinishes) {
  const Bytes data = PatternData(50000, 17);
  ZSTD_CCtx* context = ZSTD_createCCtx();
  ASSERT_NE(context, nullptr);
  ASSERT_FALSE(ZSTD_isError(ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, 1)));
  Bytes zstd(ZSTD_compressBound(data.size()));
  const size_t size = ZSTD_compress2(context, zstd.data(), zstd.size(), data.data(), data.size());
  ZSTD_freeCCtx(context);
  ASSERT_FALSE(ZSTD_isError(size));
  zstd.resize(size);
  WholeSegmentDecoder whole;
  Bytes out(data.size());
  for (const Bytes& sound : {zstd, ZlibCompress(data)}) {
    ASSERT_TRUE(whole.Decode(sound.data(), sound.size(), out.data(), out.size()));
    EXPECT_EQ(out, data);
    Decoder complete = Open(sound);
    EXPECT_EQ(Drain(complete.get(), 4096), data);
    EXPECT_TRUE(SegmentDecoderFinished(complete.get()));
    for (size_t cut : {size_t{4}, size_t{1}}) {
      const Bytes cut_short(sound.begin(), sound.end() - static_cast<ptrdiff_t>(cut));
      EXPECT_FALSE(whole.Decode(cut_short.data(), cut_short.size(), out.data(), out.size())) << cut;
      Decoder d = Open(cut_short);
      const Bytes got = Drain(d.get(), 4096);
      EXPECT_LE(got.size(), data.size()) << cut;
      EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin())) << cut;
      EXPECT_FALSE(d->HasError());
      EXPECT_FALSE(SegmentDecoderFinished(d.get())) << cut;
    }
  }
}

// A raw-block zstd frame written by hand: no content size, and a window of
// 2^window_log bytes declared in its header.
Bytes ZstdFrameWithWindow(const Bytes& data, int window_log) {
  ByteWriter w;
  w.U32(0xFD2FB528).U8(0x00).U8(static_cast<uint8_t>((window_log - 10) << 3));
  const uint32_t block = static_cast<uint32_t>(data.size()) << 3 | 1;  // last, raw
  w.U8(static_cast<uint8_t>(block)).U8(static_cast<uint8_t>(block >> 8));
  w.U8(static_cast<uint8_t>(block >> 16)).Raw(data);
  return w.bytes();
}

// A frame header names the window, but only the declared size of what the
// data decodes to bounds the decoder's memory: a frame whose window exceeds
// it is decoded into a buffer of the declared size, by the streaming and the
// whole-segment decoder alike, and without a declared size the library's
// own limit still refuses it.
TEST(ZstdWindow, BoundedByTheDeclaredSizeNotByTheFrameHeader) {
  const Bytes data = PatternData(3000, 30);
  WholeSegmentDecoder whole;
  Bytes out(data.size());
  for (int window_log : {12, 20, 27, 28, 30}) {
    const Bytes frame = ZstdFrameWithWindow(data, window_log);
    for (uint32_t step : {1u, 1000u, 4096u}) {
      Decoder d(OpenSegmentDecoder(new MemReadStream(frame), data.size()));
      EXPECT_EQ(Drain(d.get(), step), data) << window_log << ", reads of " << step;
      EXPECT_FALSE(d->HasError());
      EXPECT_TRUE(d->IsEof());
    }
    ASSERT_TRUE(whole.Decode(frame.data(), frame.size(), out.data(), out.size())) << window_log;
    EXPECT_EQ(out, data);
    Decoder unbounded = Open(frame);
    EXPECT_EQ(Drain(unbounded.get(), 4096).empty(), window_log > 27) << window_log;
  }
  // A frame whose header names a content size that its blocks do not give
  // is damaged, also in the declared-size window: it ends with an error.
  for (int named : {-1, 1}) {
    ByteWriter w;
    // Window descriptor and a 2-byte content size.
    w.U32(0xFD2FB528).U8(0x40).U8(static_cast<uint8_t>((28 - 10) << 3));
    w.U16(static_cast<uint16_t>(data.size() + named - 256));
    const uint32_t block = static_cast<uint32_t>(data.size()) << 3 | 1;
    w.U8(static_cast<uint8_t>(block)).U8(static_cast<uint8_t>(block >> 8));
    w.U8(static_cast<uint8_t>(block >> 16)).Raw(data);
    Decoder d(OpenSegmentDecoder(new MemReadStream(w.bytes()), data.size() + 1000));
    const Bytes got = Drain(d.get(), 4096);
    EXPECT_LE(got.size(), data.size() + named) << named;
    EXPECT_TRUE(d->HasError()) << named;
  }
  // More data than declared does not fit the declared-size window.
  const Bytes frame = ZstdFrameWithWindow(data, 28);
  Decoder too_small(OpenSegmentDecoder(new MemReadStream(frame), data.size() - 1));
  EXPECT_EQ(Drain(too_small.get(), 4096).size(), 0u);
  EXPECT_TRUE(too_small->HasError());
  // A declared size beyond the library's limit gets no larger window.
  Decoder beyond(OpenSegmentDecoder(new MemReadStream(frame), 1ull << 40));
  EXPECT_TRUE(Drain(beyond.get(), 4096).empty());
  EXPECT_TRUE(beyond->HasError());
}

}  // namespace
