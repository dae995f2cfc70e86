// Tests of the incremental frame parser: frames split across reads at every byte,
// raw bytes kept, and oversized announcements refused without allocating.
#include <gtest/gtest.h>

#include "client/FrameReader.h"
#include "protocol/MsgFrame.h"

namespace tessil {
namespace {

TEST(FrameReader, ReassemblesFramesSplitAtEveryByte) {
    const std::string stream = EncodeFrame(mtHeartbeat, "") + EncodeFrame(mtData, "hello") +
                               EncodeFrame(mtData, "") + EncodeFrame(7, std::string(10, 'x')) +
                               EncodeFrame(mtClientListLast, std::string("a\0b\0c\0d\0", 8));
    for (size_t piece = 1; piece <= stream.size(); ++piece) {
        FrameReader reader;
        std::vector<Frame> frames;
        for (size_t off = 0; off < stream.size(); off += piece) {
            reader.Feed(std::string_view(stream).substr(off, piece));
            while (auto f = reader.Next()) frames.push_back(*f);
        }
        ASSERT_EQ(frames.size(), 5u) << "piece " << piece;
        EXPECT_EQ(frames[0].Raw(), std::string("\0\0\0\0\3\0", 6));
        EXPECT_EQ(frames[1].type, mtData);
        EXPECT_EQ(frames[1].body, "hello");
        EXPECT_EQ(frames[2].body, "");
        EXPECT_EQ(frames[3].type, 7);
        EXPECT_EQ(frames[4].body.size(), 8u);
        std::string joined;
        for (const auto& f : frames) joined += f.Raw();
        EXPECT_EQ(joined, stream);
        EXPECT_EQ(reader.Buffered(), 0u);
    }
}

TEST(FrameReader, RefusesABodyAboveTheLimitAndWaitsForOneAtTheLimit) {
    FrameReader atLimit;
    atLimit.Feed(TMsgHeader{MaxMessageSize, mtData}.Encode());
    EXPECT_FALSE(atLimit.Next().has_value());
    EXPECT_EQ(atLimit.Buffered(), kHeaderSize);  // nothing allocated for the body

    FrameReader over;
    over.Feed(TMsgHeader{MaxMessageSize + 1, mtData}.Encode());
    EXPECT_THROW(over.Next(), FrameError);
}

TEST(FrameReader, KeepsNoLargeBufferOnceALargeFrameIsReturned) {
    FrameReader reader;
    const std::string big(1 << 20, 'b');
    reader.Feed(EncodeFrame(mtData, big) + EncodeFrame(mtData, "small").substr(0, 3));
    auto f = reader.Next();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->body, big);
    // A partial frame is still buffered: the buffer stays until it is whole.
    EXPECT_FALSE(reader.Next());
    reader.Feed(EncodeFrame(mtData, "small").substr(3));
    f = reader.Next();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->body, "small");
    EXPECT_LE(reader.Capacity(), FrameReader::kKeepBytes);
}

}  // namespace
}  // namespace tessil
