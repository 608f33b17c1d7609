#include "command_map.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <list>
#include <string>

using Quillomat::CommandMap;
using Quillomat::Event;

TEST(CommandMap, NamesAndNumbersBothWays)
{
    const CommandMap& cm = CommandMap::instance();
    EXPECT_EQ(&cm, &CommandMap::instance());
    EXPECT_EQ(cm.to_command_t("record"), Event::RECORD);
    EXPECT_EQ(cm.to_command_t("redo_all"), Event::REDO_ALL);
    EXPECT_EQ(cm.to_control_t("sync"), Event::SyncMode);
    EXPECT_EQ(cm.to_type_t("sync"), Event::type_sync);
    EXPECT_EQ(cm.to_type_t("g_set"), Event::type_global_control_change);
    EXPECT_EQ(cm.to_control_t("rate_output"), Event::TrueRate);
    EXPECT_EQ(cm.to_control_str(Event::TrueRate), "rate_output");
    EXPECT_EQ(cm.to_control_t("sync_source"), Event::SyncTo);
    EXPECT_EQ(cm.to_control_t("midi_tick"), Event::MidiTick);
    EXPECT_TRUE(cm.is_command("mute"));
    EXPECT_FALSE(cm.is_command("rate"));

    // Every listed name survives a round trip through its number.
    std::list<std::string> cmds, ctrls;
    cm.get_commands(cmds);
    cm.get_controls(ctrls);
    for (const std::string& n : cmds) EXPECT_EQ(cm.to_command_str(cm.to_command_t(n)), n);
    for (const std::string& n : ctrls) EXPECT_EQ(cm.to_control_str(cm.to_control_t(n)), n);
}

TEST(CommandMap, UnknownNames)
{
    const CommandMap& cm = CommandMap::instance();
    EXPECT_EQ(cm.to_command_t("nonsense"), Event::UNKNOWN);
    EXPECT_EQ(cm.to_control_t("nonsense"), Event::Unknown);
    EXPECT_EQ(cm.to_type_t("nonsense"), Event::type_cmd_hit);
    EXPECT_EQ(cm.to_control_t("Rate"), -1);  // case-sensitive
    EXPECT_EQ(cm.to_control_str(Event::MultiUnused), "unknown");
    EXPECT_EQ(cm.to_control_str(Event::Unknown), "unknown");
    EXPECT_EQ(cm.to_command_str(Event::DELAY), "unknown");
}

TEST(CommandMap, ListsAreSortedAndAppended)
{
    const CommandMap& cm = CommandMap::instance();
    std::list<std::string> ctrls{"kept"};
    cm.get_controls(ctrls);
    ASSERT_EQ(ctrls.size(), 46u);
    EXPECT_EQ(ctrls.front(), "kept");
    ctrls.pop_front();
    EXPECT_EQ(ctrls.front(), "channel_count");
    EXPECT_TRUE(std::is_sorted(ctrls.begin(), ctrls.end()));

    std::list<std::string> cmds;
    cm.get_commands(cmds);
    ASSERT_EQ(cmds.size(), 15u);
    EXPECT_EQ(cmds.front(), "insert");
    EXPECT_TRUE(std::is_sorted(cmds.begin(), cmds.end()));
}
