// Shared set-up of the tests that drive snapshots and runs through the
// stand-in library: the library, captured output, and the checks that every
// reference and BSTR was given back (tests only).
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <memory>

#include "library/standin_library.h"
#include "text/captured_output.h"
#include "track/track_info.h"

class StandInTest : public ::testing::Test {
 protected:
  StandInTest() : m_LiveStrings(SysLiveStringCount()) { VariantInit(&element); }

  void TearDown() override {
    VariantClear(&element);
    EXPECT_EQ(library.Imbalances(), "");
    EXPECT_EQ(SysLiveStringCount(), m_LiveStrings) << "BSTRs leaked";
  }

  // Puts the next element of the library into `element`, as the
  // enumerator hands it to the run.
  void Yield() {
    VariantClear(&element);
    ASSERT_EQ(library.Next(&element), S_OK);
  }

  // A snapshot of `e`, added to the library and yielded; the element is
  // cleared again, as the run does.
  std::unique_ptr<CTrackInfo> Snapshot(const StandInElement& e) {
    library.elements.push_back(e);
    VariantClear(&element);
    EXPECT_EQ(library.Next(&element), S_OK);
    auto track = std::make_unique<CTrackInfo>(element);
    VariantClear(&element);
    return track;
  }

  CStandInLibrary library;
  CapturedOutput output;
  VARIANT element;

 private:
  std::size_t m_LiveStrings;
};
