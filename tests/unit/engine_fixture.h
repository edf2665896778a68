// An engine on the doubles, started in a scratch folder with its log open at
// level 1. It has no credentials, so nothing reaches the network until a test
// gives some, and its timer never ticks by itself: tests tick it.
#pragma once

#include <gtest/gtest.h>

#include "diagnostics/debug.h"
#include "tests/fakes/fakes.h"
#include "tests/unit/test_support.h"

class EngineFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetAllFakes();
        FakeRegistrySetNumber(engine.registryKey, "debugoverride", 1);
        engine.m_timerPeriodMs = 3600 * 1000;
        engine.StartPlaytallying(dir.str(), nullptr);
        engine.WaitForWorkers(-1);  // the start's handshake pass is over
    }
    void TearDown() override {
        FakePromptHold(false);
        engine.Shutdown();
        g_Debug.Close();
        ResetAllFakes();
    }
    // The log's text from the byte `from` on.
    std::string Log(size_t from = 0) const {
        return ReadFileBytes(dir.file("Kelmar.log.txt")).substr(from);
    }

    TempDir dir;
    TestPlaytally engine;
};
