// Test helpers for the device layer: a device connection over a recording network control, and
// JSON shorthands.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "device/NetTermControl.h"
#include "device/SDKHelper.h"
#include "json/JsonDocument.h"
#include "tests/device/RecordingControl.h"
#include "tests/device/Simulator.h"

namespace vantorix::testing_support {

inline std::unique_ptr<TJsonArray> ParseArray(std::u16string_view text) {
  std::unique_ptr<TJsonNode> node = TJsonNode::Parse(text);
  auto* array = dynamic_cast<TJsonArray*>(node.get());
  EXPECT_NE(array, nullptr) << "not an array";
  node.release();
  return std::unique_ptr<TJsonArray>(array);
}

inline std::string Compact(const TJsonNode& node) {
  return Narrow(node.ToJSON(true));
}

// A recording network control; keep the raw pointer before handing the owner on.
struct TRecordedControl {
  TRecordedControl()
      : owner(std::make_unique<TRecordingControl>(std::make_unique<TNetTermControl>(
            TNetTermOptions{std::chrono::milliseconds(3000), std::chrono::milliseconds(1000)}))),
        calls(*owner) {}
  std::unique_ptr<TRecordingControl> owner;
  TRecordingControl& calls;
};

}  // namespace vantorix::testing_support
