#include "tools/qivma/session.h"

#include <stdio.h>

#include <set>

#include "tools/qivma/tool_platform.h"

ToolSession::~ToolSession() {
    End();
    StopSimulator();
}

bool ToolSession::Start(const std::vector<Tag> &tags, std::string *error) {
    if (sim_.on) {
        SimulatorLine sim;
        std::set<std::string> stations(sim_.stations.begin(), sim_.stations.end());
        if (stations.empty()) {
            stations.insert("01");
            for (const Tag &tag : tags) {
                char text[8];
                snprintf(text, sizeof text, "%02X",
                         static_cast<unsigned>(tag.definition.station) & 0xFF);
                stations.insert(text);
            }
        }
        const LineOptions &line = Options();
        sim.stations.assign(stations.begin(), stations.end());
        sim.faults = sim_.faults;
        sim.faultEvery = sim_.faultEvery;
        sim.port = sim_.port;
        sim.settings = line.settings;
        std::string device;
        if (!StartSimulator(sim, &device, error))
            return false;
        SetPort(device);
    }
    return Session::Start(error);
}
