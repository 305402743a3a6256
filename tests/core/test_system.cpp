#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <vision/vision.h>

#include "env.h"
#include "raises.h"

#include "detail/system.h"

using namespace vision;

namespace {

using visiontest::Raises;

}  // namespace

TEST(SetSystem, KnownSettingsRoundTripAndBadValuesNameTheSetting) {
  SetSystem("int2_bits", 10);
  EXPECT_EQ(GetSystem("int2_bits").L(), 10);
  EXPECT_EQ(detail::Int2Bits(), 10);
  SetSystem("int2_bits", -1);
  SetSystem("width", "640");  // a decimal text is accepted
  EXPECT_EQ(GetSystem("width").L(), 640);
  SetSystem("width", 512);
  SetSystem("thread_num", 3);
  EXPECT_EQ(detail::ThreadCount(), 3);
  SetSystem("thread_num", "default");
  EXPECT_GE(detail::ThreadCount(), 1);
  SetSystem("use_window_thread", "true");
  EXPECT_TRUE(detail::UseWindowThread());
  SetSystem("use_window_thread", "false");
  const std::string sep = visiontest::kPathSeparator;
  SetSystem("image_dir", ("/a" + sep + "/b" + sep + sep + "/c").c_str());
  EXPECT_EQ(detail::ImageDirs(), (std::vector<std::string>{"/a", "/b", "/c"}));
  SetSystem("image_dir", "");
  EXPECT_TRUE(detail::ImageDirs().empty());

  Raises(err::kSystemBadValue, [] { SetSystem("int2_bits", 8); });
  Raises(err::kSystemBadValue, [] { SetSystem("int2_bits", 16); });
  Raises(err::kSystemBadValue, [] { SetSystem("width", 0); });
  Raises(err::kSystemBadValue, [] { SetSystem("width", 1.5); });
  Raises(err::kSystemBadValue, [] { SetSystem("thread_num", "many"); });
  Raises(err::kSystemBadValue, [] { SetSystem("use_window_thread", "yes"); });
  Raises(err::kSystemBadValue, [] { SetSystem("image_dir", 5); });
  Raises(err::kWrongParamType, [] { SetSystem(5, 5); });
  Raises(err::kSystemUnknownName, [] { (void)GetSystem("nonsense"); });
  try {
    SetSystem("no_such_setting", 42);
    FAIL() << "no exception";
  } catch (const HException& e) {
    EXPECT_EQ(e.ErrorCode(), err::kSystemUnknownName);
    EXPECT_EQ(e.ProcName().Str(), "SetSystem");
    EXPECT_NE(e.ErrorMessage().Str().find("no_such_setting"), std::string::npos);
    EXPECT_NE(e.ErrorMessage().Str().find("42"), std::string::npos);
  }
  // A rejected value leaves the setting as it was.
  EXPECT_EQ(GetSystem("width").L(), 512);
  EXPECT_EQ(GetSystem("int2_bits").L(), -1);
  // A folder list with a NUL in it would make the system see a different folder.
  SetSystem("image_dir", "/a");
  Raises(err::kSystemBadValue, [] { SetSystem("image_dir", HTuple(std::string("/tmp\0/x", 7))); });
  EXPECT_EQ(GetSystem("image_dir").S().Str(), "/a");
  SetSystem("image_dir", "");
}

TEST(SetSystem, ErrorsNameTheOperatorThatWasCalled) {
  // No name at all, a number, an empty text: each error comes from the operator called.
  for (const HTuple& name : {HTuple(), HTuple(5), HTuple("")}) {
    for (const char* proc : {"GetSystem", "SetSystem"}) {
      try {
        if (std::string(proc) == "GetSystem") {
          (void)GetSystem(name);
        } else {
          SetSystem(name, 1);
        }
        ADD_FAILURE() << proc << " accepted " << name.Length() << " name(s)";
      } catch (const HException& e) {
        EXPECT_EQ(e.ProcName().Str(), proc) << e.what();
        EXPECT_EQ(e.ErrorCode(), name.Length() == 1 && name.Type(0) == HTupleType::String
                                     ? err::kSystemUnknownName
                                     : err::kWrongParamType);
      }
    }
  }
}

TEST(SetSystem, ConcurrentWritersAndReadersSeeOnlyValidValues) {
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> threads;
  const std::string two_dirs = std::string("/x/one") + visiontest::kPathSeparator + "/x/two";
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) {
        SetSystem("int2_bits", (i + t) % 2 ? 12 : -1);
        SetSystem("image_dir", (i + t) % 2 ? two_dirs.c_str() : "/y");
      }
    });
  }
  threads.emplace_back([&] {
    while (!stop) {
      const int bits = detail::Int2Bits();
      if (bits != 12 && bits != -1) ++bad;
      const auto dirs = detail::ImageDirs();
      if (!(dirs == std::vector<std::string>{"/x/one", "/x/two"} ||
            dirs == std::vector<std::string>{"/y"} || dirs.empty())) {
        ++bad;
      }
    }
  });
  for (int t = 0; t < 4; ++t) threads[std::size_t(t)].join();
  stop = true;
  threads.back().join();
  EXPECT_EQ(bad.load(), 0);
  SetSystem("int2_bits", -1);
  SetSystem("image_dir", "");
}

TEST(SetSystem, EncodingFlagAndClock) {
  SetHcppInterfaceStringEncodingIsUtf8(false);
  EXPECT_FALSE(IsHcppInterfaceStringEncodingUtf8());
  SetHcppInterfaceStringEncodingIsUtf8(true);
  EXPECT_TRUE(IsHcppInterfaceStringEncodingUtf8());
  HTuple a, b;
  CountSeconds(&a);
  CountSeconds(&b);
  EXPECT_EQ(a.Type(0), HTupleType::Double);
  EXPECT_GE((b - a).D(), 0.0);
  Raises(err::kNullOutput, [] { CountSeconds(nullptr); });
}

// The list of known settings in the message comes from the same table that SetSystem and
// GetSystem use: every name in it reads back.
TEST(SetSystem, UnknownNameListsEverySettingAndEachOfThemReadsBack) {
  const std::string message =
      Raises(err::kSystemUnknownName, [] { SetSystem("no_such_setting", 1); });
  const std::string known = "; known: ";
  ASSERT_NE(message.find(known), std::string::npos) << message;
  std::string list = message.substr(message.find(known) + known.size());
  EXPECT_EQ(list,
            "use_window_thread, thread_num, width, height, int2_bits, image_dir, "
            "search_memory_limit");
  for (std::size_t start = 0; start < list.size();) {
    const std::size_t comma = std::min(list.find(", ", start), list.size());
    const std::string name = list.substr(start, comma - start);
    EXPECT_NO_THROW((void)GetSystem(name.c_str())) << name;
    start = comma + 2;
  }
}
