// The nearest-airport query: flat-earth distance, radius, order, cut to count, and no wrap at ±180°.
#include <cmath>
#include <string>
#include <vector>

#include "apt_test_util.h"

namespace {

apt::Index Places(const std::vector<std::pair<float, float>> &latLon) {
  apt::Index index;
  for (size_t i = 0; i < latLon.size(); ++i) {
    apt::Airport a{};
    a.ident[0] = static_cast<char>('A' + i % 26);
    a.lat = latLon[i].first;
    a.lon = latLon[i].second;
    index.airports.push_back(a);
  }
  return index;
}

std::vector<int32_t> Order(const std::vector<apt::Nearby> &near) {
  std::vector<int32_t> out;
  for (const apt::Nearby &n : near) out.push_back(n.airport);
  return out;
}

TEST(Nearest, EmptyIndexAndCountZeroGiveNothing) {
  EXPECT_TRUE(apt::Index{}.nearest(47.0, 8.0, 44, 150.0).empty());
  apt::Index index = Places({{47.0f, 8.0f}, {47.1f, 8.0f}});
  EXPECT_TRUE(index.nearest(47.0, 8.0, 0, 150.0).empty());
}

TEST(Nearest, NearestFirstAndCutToCount) {
  apt::Index index = Places({{10.5f, 0.0f}, {10.1f, 0.0f}, {13.0f, 0.0f}, {9.8f, 0.0f}, {10.0f, 0.3f}});
  const auto all = index.nearest(10.0, 0.0, 100, 150.0);
  EXPECT_EQ(Order(all), (std::vector<int32_t>{1, 3, 4, 0}));  // 13.0 lies 180 nm away
  EXPECT_NEAR(all[0].distanceNm, 6.0f, 1e-3);
  EXPECT_NEAR(all[1].distanceNm, 12.0f, 1e-3);
  EXPECT_NEAR(all[3].distanceNm, 30.0f, 1e-3);
  EXPECT_EQ(Order(index.nearest(10.0, 0.0, 2, 150.0)), (std::vector<int32_t>{1, 3}));
  EXPECT_EQ(index.nearest(10.0, 0.0, 5, 1000.0).size(), 5u);
}

TEST(Nearest, RadiusBoundaryIsIncluded) {
  // Binary fractions keep the squared distances exact, so the boundary is hit exactly.
  apt::Index index = Places({{1.0f, 0.0f}, {0.0f, 0.5f}, {0.0f, 0.0f}, {0.0f, 0.25f}});
  EXPECT_EQ(Order(index.nearest(0.0, 0.0, 10, 60.0)), (std::vector<int32_t>{2, 3, 1, 0}));
  EXPECT_EQ(Order(index.nearest(0.0, 0.0, 10, 30.0)), (std::vector<int32_t>{2, 3, 1}));
  EXPECT_EQ(Order(index.nearest(0.0, 0.0, 10, 29.999)), (std::vector<int32_t>{2, 3}));
  const auto atPoint = index.nearest(0.0, 0.0, 10, 0.0);
  ASSERT_EQ(Order(atPoint), (std::vector<int32_t>{2}));
  EXPECT_EQ(atPoint[0].distanceNm, 0.0f);
}

TEST(Nearest, LongitudeShrinksWithLatitude) {
  apt::Index index = Places({{60.0f, 9.0f}, {61.0f, 8.0f}, {60.0f, 7.0f}});
  const auto near = index.nearest(60.0, 8.0, 10, 150.0);
  ASSERT_EQ(near.size(), 3u);
  EXPECT_NEAR(near[0].distanceNm, 30.0f, 1e-3);
  EXPECT_NEAR(near[1].distanceNm, 30.0f, 1e-3);
  EXPECT_EQ(near[2].airport, 1);
  EXPECT_NEAR(near[2].distanceNm, 60.0f, 1e-3);
  // Equal distances come in either order.
  EXPECT_EQ(near[0].airport + near[1].airport, 2);
}

TEST(Nearest, NoWrapAcrossTheAntimeridian) {
  apt::Index index = Places({{0.0f, -179.9f}, {0.0f, 179.8f}});
  EXPECT_EQ(Order(index.nearest(0.0, 179.9, 10, 150.0)), (std::vector<int32_t>{1}));
  const auto far = index.nearest(0.0, 179.9, 10, 30000.0);
  ASSERT_EQ(far.size(), 2u);
  EXPECT_NEAR(far[1].distanceNm, 359.8f * 60.0f, 1.0f);
}

TEST(Nearest, PlacesWithoutDistanceAreNeverTaken) {
  apt::Index index = Places({{NAN, 1.0f}, {1.0f, INFINITY}, {1.0f, 1.0f}, {-INFINITY, NAN}, {3e38f, 0.0f}});
  // 3e38 degrees is finite in float but 1.8e40 nm is not.
  EXPECT_EQ(Order(index.nearest(1.0, 1.0, 10, INFINITY)), (std::vector<int32_t>{2}));
  EXPECT_EQ(Order(index.nearest(1.0, 1.0, 10, 1e300)), (std::vector<int32_t>{2}));
  EXPECT_TRUE(index.nearest(NAN, 1.0, 10, 150.0).empty());
}

}  // namespace
