// Byte buffers of shared regions: appending and slicing share bytes, and every view reads the
// right bytes whatever the region boundaries.
#include "websocket/WSDispatchData.hpp"

#include <gtest/gtest.h>

namespace {

WSDispatchData Regions(const std::vector<std::vector<std::uint8_t>>& parts) {
  WSDispatchData data;
  for (auto& p : parts) data.append(WSDispatchData(p));
  return data;
}

// Every subrange of a buffer made of several regions holds exactly the bytes at its offsets.
TEST(WSDispatchDataTest, EverySubrangeReadsTheRightBytes) {
  WSDispatchData data = Regions({{0, 1, 2}, {3}, {4, 5, 6, 7}, {}, {8, 9}});
  ASSERT_EQ(data.size(), 10u);
  for (std::uint64_t offset = 0; offset <= 10; ++offset)
    for (std::uint64_t length = 0; offset + length <= 12; ++length) {
      auto bytes = data.subrange(offset, length).copyBytes();
      std::uint64_t expected = std::min<std::uint64_t>(length, 10 - std::min<std::uint64_t>(offset, 10));
      ASSERT_EQ(bytes.size(), expected) << offset << "+" << length;
      for (std::size_t i = 0; i < bytes.size(); ++i) ASSERT_EQ(bytes[i], offset + i);
    }
}

// Mapping a single region is a view (no copy); several regions are joined into the storage.
TEST(WSDispatchDataTest, MapCopiesOnlyAcrossRegions) {
  WSDispatchData one(std::vector<std::uint8_t>{1, 2, 3});
  std::vector<std::uint8_t> storage;
  auto view = one.map(storage);
  EXPECT_TRUE(storage.empty());
  EXPECT_EQ(std::vector<std::uint8_t>(view.begin(), view.end()), (std::vector<std::uint8_t>{1, 2, 3}));
  WSDispatchData two = Regions({{1}, {2, 3}});
  auto joined = two.map(storage);
  EXPECT_EQ(joined.data(), storage.data());
  EXPECT_EQ(std::vector<std::uint8_t>(joined.begin(), joined.end()), (std::vector<std::uint8_t>{1, 2, 3}));
}

// Slices share the regions: the source buffer can go away.
TEST(WSDispatchDataTest, SlicesOutliveTheirSource) {
  WSDispatchData slice;
  {
    WSDispatchData source = Regions({{1, 2, 3}, {4, 5}});
    slice = source.subrange(2, 2);
    EXPECT_EQ(slice.regionCount(), 2u);
  }
  EXPECT_EQ(slice.copyBytes(), (std::vector<std::uint8_t>{3, 4}));
  EXPECT_EQ(slice.concat(WSDispatchData(std::vector<std::uint8_t>{9})).copyBytes(),
            (std::vector<std::uint8_t>{3, 4, 9}));
}

// The in-place readers (no slice made) see the same bytes as a slice, at every offset.
TEST(WSDispatchDataTest, InPlaceReadsMatchSlices) {
  WSDispatchData data = Regions({{0, 1, 2}, {3}, {4, 5, 6, 7}, {8, 9}});
  for (std::uint64_t offset = 0; offset <= 11; ++offset)
    for (std::size_t length = 0; offset + length <= 12; ++length) {
      std::vector<std::uint8_t> walked;
      data.applyRegions(offset, length, [&](std::span<const std::uint8_t> region) {
        EXPECT_FALSE(region.empty());
        walked.insert(walked.end(), region.begin(), region.end());
        return true;
      });
      std::vector<std::uint8_t> copied(length);
      copied.resize(data.copyBytes(offset, copied.data(), length));
      const auto expected = data.subrange(offset, length).copyBytes();
      ASSERT_EQ(walked, expected) << offset << "+" << length;
      ASSERT_EQ(copied, expected) << offset << "+" << length;
    }
}

// Consecutive pieces of one block become one region; pieces of different blocks, or with a gap,
// stay apart.
TEST(WSDispatchDataTest, AdjacentPiecesOfOneBlockMerge) {
  auto block =
      std::make_shared<const std::vector<std::uint8_t>>(std::vector<std::uint8_t>{0, 1, 2, 3, 4, 5, 6, 7});
  WSDispatchData data;
  data.append(WSDispatchData(block, 0, 3));
  data.append(WSDispatchData(block, 3, 2));
  EXPECT_EQ(data.regionCount(), 1u);
  data.append(WSDispatchData(block, 6, 2));
  data.append(WSDispatchData(std::vector<std::uint8_t>{9}));
  EXPECT_EQ(data.regionCount(), 3u);
  EXPECT_EQ(data.copyBytes(), (std::vector<std::uint8_t>{0, 1, 2, 3, 4, 6, 7, 9}));
  EXPECT_EQ(data.subrange(4, 3).copyBytes(), (std::vector<std::uint8_t>{4, 6, 7}));
  data.clear();
  EXPECT_TRUE(data.empty());
  EXPECT_EQ(data.regionCount(), 0u);
}

} // namespace
