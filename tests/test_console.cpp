#include <gtest/gtest.h>

#include "support/console.h"

TEST(progress, line_layout) {
  EXPECT_EQ(format_progress("load geojsons", 0, 1, 0),
            "[                    ]    0/   1 00:00.000 load geojsons                 ");
  EXPECT_EQ(format_progress("load geojsons", 1, 1, 0),
            "[====================]    1/   1 00:00.000 load geojsons                 ");
  EXPECT_EQ(format_progress("save scene", 2, 7, 0),
            "[=====               ]    2/   7 00:00.000 save scene                    ");
}

TEST(progress, time_is_minutes_seconds_millis) {
  auto line = format_progress("m", 1, 2, 125LL * 1000000000 + 42 * 1000000 + 999999);
  EXPECT_NE(line.find(" 02:05.042 "), std::string::npos) << line;
  line = format_progress("m", 1, 2, 3600LL * 1000000000);
  EXPECT_NE(line.find(" 60:00.000 "), std::string::npos) << line;
}

TEST(progress, counts_and_message_widths) {
  auto thirty = std::string(30, 'x');
  auto line = format_progress(thirty, 12345, 12345, 0);
  EXPECT_EQ(line.substr(line.size() - 30), thirty);
  EXPECT_NE(line.find("] 12345/12345 "), std::string::npos) << line;
  auto longer = std::string(41, 'y');
  line = format_progress(longer, 1, 3, 0);
  EXPECT_EQ(line.substr(line.size() - 41), longer);
}

TEST(progress, current_beyond_total_overfills_the_bar) {
  auto line = format_progress("m", 3, 2, 0);
  EXPECT_EQ(line.substr(0, 32), "[==============================]");
}

TEST(progress, zero_total_shows_an_empty_bar) {
  EXPECT_EQ(format_progress("m", 0, 0, 0).substr(0, 22), "[                    ]");
  EXPECT_EQ(format_progress("m", 5, 0, 0).substr(0, 22), "[                    ]");
}

// The exact bytes on standard output: carriage returns around each line,
// a line feed only when the task is done.
TEST(progress, printed_bytes) {
  testing::internal::CaptureStdout();
  print_progress("save scene", 0, 2);
  print_progress("save scene", 1, 2);
  print_progress("save scene", 2, 2);
  auto out = testing::internal::GetCapturedStdout();
  auto first = "\r" + format_progress("save scene", 0, 2, 0) + "\r";
  ASSERT_GE(out.size(), first.size());
  EXPECT_EQ(out.substr(0, first.size()), first);
  // one line feed, after the last call only
  EXPECT_EQ(out.find('\n'), out.size() - 1);
  EXPECT_EQ(std::count(out.begin(), out.end(), '\r'), 6);
}

// Long tasks print the first and last lines and one per percentage step or
// message change; short ones print every line.
TEST(progress, long_tasks_print_bounded_lines) {
  struct task {
    int total;
    int expected;
  } tasks[] = {{2, 3}, {100, 101}, {101, 101}, {1000, 101}, {1000000, 101}};
  for (auto& t : tasks) {
    auto printed = 0;
    for (int i = 0; i <= t.total; i++) printed += progress_line_due("save shape", i, t.total);
    EXPECT_EQ(printed, t.expected) << t.total;
  }
  // A new message is shown at once, and the last line always.
  EXPECT_TRUE(progress_line_due("save scene", 0, 5000));
  EXPECT_FALSE(progress_line_due("save scene", 1, 5000));
  EXPECT_TRUE(progress_line_due("save shape", 2, 5000));
  EXPECT_FALSE(progress_line_due("save shape", 3, 5000));
  EXPECT_TRUE(progress_line_due("save shape", 50, 5000));
  EXPECT_TRUE(progress_line_due("save done", 5000, 5000));
}

TEST(console, print_line_adds_a_line_feed) {
  testing::internal::CaptureStdout();
  print_line("hello");
  print_line("");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "hello\n\n");
}

TEST(console, fatal_prints_on_stdout_and_exits_with_1) {
  EXPECT_EXIT(fatal("city.txt: unknown format"), testing::ExitedWithCode(1), "");
}
