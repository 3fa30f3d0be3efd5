// A controller simulator on a pseudo-terminal of its own, for the suites that
// run the driver in process against it.
#pragma once

#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tools/fpsim/simulator.h"

// Started with zeroed memory; a start that fails fails the test.
inline std::unique_ptr<fpsim::Simulator> StartSimulator(std::vector<std::string> stations = {
                                                            "01"}) {
    fpsim::Options options;
    options.stations = std::move(stations);
    options.zeroMemory = true;
    auto simulator = std::make_unique<fpsim::Simulator>(options);
    std::string error;
    EXPECT_TRUE(simulator->Start(&error)) << error;
    return simulator;
}

// The host's name for a device: its path under /dev.
inline std::string PortNameOf(const fpsim::Simulator &simulator) {
    return simulator.DevicePath().substr(strlen("/dev/"));
}
