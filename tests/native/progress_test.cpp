#include "check.hpp"
#include "progress/progress_line.hpp"

using vantoro::WriteCon;

TEST(lines_for_typical_counts) {
  CHECK_EQ(WriteCon::format(5, 10), " 50% [##########          ]  5/10");
  CHECK_EQ(WriteCon::format(1, 3), " 33% [######              ] 1/3");
  CHECK_EQ(WriteCon::format(1, 1000), "  0% [                    ]    1/1000");
  CHECK_EQ(WriteCon::format(7, 7), "100% [####################] 7/7");
}

TEST(rounding_is_half_away_from_zero_in_single_precision) {
  CHECK_EQ(WriteCon::format(999, 1000), "100% [####################]  999/1000");
  CHECK_EQ(WriteCon::format(994, 1000), " 99% [################### ]  994/1000");
  CHECK_EQ(WriteCon::format(1, 8), " 13% [##                  ] 1/8");
  CHECK_EQ(WriteCon::format(5, 1000), "  1% [                    ]    5/1000");
  CHECK_EQ(WriteCon::format(4, 100), "  4% [                    ]   4/100");
}

TEST(counts_beyond_the_total) {
  CHECK_EQ(WriteCon::format(15, 10), "150% [####################] 15/10");
  CHECK_EQ(WriteCon::format(1, 0), "18446744073709551615% [####################] 1/0");
  CHECK_EQ(WriteCon::format(0, 0), "  0% [                    ] 0/0");
}

TEST(count_zero_writes_nothing) {
  WriteCon::display(0, 0);  // must neither write nor fail
  WriteCon::display(0, 5);
}
