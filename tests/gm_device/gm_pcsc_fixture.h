// Shared set-up of the device-API tests that run through the real pcscd.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "cardsim_harness.h"
#include "gm_api.h"
#include "gm_filters.h"

namespace gm_test {

// Selects the project's vpcd readers; keeps the default OEM filter ("vx8100",
// the simulated token's identifier).
inline constexpr const char* reader_filter =
    "Quessar vKessa Tavrel,vid_0000&pid_0000,vid_0000&pid_0000";

inline const std::string first_reader = cardsim::test::reader_for_port(cardsim::test::first_port());
inline const std::string second_reader =
    cardsim::test::reader_for_port(cardsim::test::second_port());

class gm_pcsc : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(cardsim::test::ensure_pcscd());
        gm_set_enum_filters(reader_filter, gm_default_oem_filter);
    }
    void TearDown() override {
        for (DEVHANDLE h : connected_)
            SKF_DisConnectDev(h);
    }
    DEVHANDLE connect(const std::string& reader) {
        DEVHANDLE h = 0;
        EXPECT_EQ(SKF_ConnectDev(reader.c_str(), &h), SAR_OK) << reader;
        if (h != 0) connected_.push_back(h);
        return h;
    }

  private:
    std::vector<DEVHANDLE> connected_;
};

} // namespace gm_test
