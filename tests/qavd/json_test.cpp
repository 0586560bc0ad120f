// Tests of qavd's JSON form of an answer and of how collected bytes are sorted.
#include "json.h"
#include "poller.h"
#include "sample_answers.h"

#include <gtest/gtest.h>

namespace {

Reading readingOf(const std::string& answer)
{
    Reading reading{"b1", 1796699894, answer, {}};
    decodeStatus(answer.data(), answer.size(), &reading.status);
    return reading;
}

TEST(ReadingJson, LineHoldsScaledValuesInDocumentedOrder)
{
    EXPECT_EQ(readingJsonLine(readingOf(answerA)), R"({"battery":"b1","time":1796699894)" + jsonAfterTimeA);
}

TEST(ReadingJson, EstimateIsRoundedAndUnknownsAreNull)
{
    Reading reading = readingOf(answerA);
    reading.estimate.runtime = 7999.5;
    reading.estimate.capacity = 2.34567;
    reading.estimate.capacitySource = "learned";
    reading.estimate.learning = 1.5; // shown only while the capacity is unknown
    reading.estimate.energyCharged = 1234.6;
    reading.estimate.energyDischarged = 0.4;
    std::string line = readingJsonLine(reading);
    EXPECT_NE(line.find(R"("status_flags":{)"), std::string::npos);
    EXPECT_NE(line.find(R"(},"power_watts":-26.4,"runtime_seconds":8000,"time_to_full_seconds":null,)"
                        R"("capacity_ah":2.346,"capacity_source":"learned","capacity_learning_percent":null,)"
                        R"("energy_charged_joules":1235,"energy_discharged_joules":0,"answer":")"),
              std::string::npos)
        << line;
}

TEST(ReadingJson, ValuesAndFlagsFollowTheAnswer)
{
    // Gauge 100.00 %, cells 4.000 to 4.007 V, +12.50 A, fan, overvoltage and charge mode set.
    const std::string answer = "2710"
                               "0FA00FA10FA20FA30FA40FA50FA60FA7"
                               "04E2"
                               "0102030405060708"
                               "28"
                               "32"
                               "FF"
                               "0003"
                               "0000"
                               "0508"
                               "77\n";
    nlohmann::json object = readingJson(readingOf(answer));
    EXPECT_EQ(object["gas_gauge_percent"], 100.0);
    EXPECT_EQ(object["cell_voltages_volts"][7], 4.007);
    EXPECT_EQ(object["stack_voltage_volts"], 32.028);
    EXPECT_EQ(object["current_amperes"], 12.5);
    EXPECT_EQ(object["layer_temperatures_celsius"], nlohmann::json::parse("[8,7,6,5,4,3,2,1]"));
    EXPECT_EQ(object["balance_register"], 255);
    EXPECT_EQ(object["temp_alert_register"], 3);
    EXPECT_EQ(object["status_register"], 0x0508);
    nlohmann::json flags = object["status_flags"];
    EXPECT_EQ(flags.size(), 13U);
    EXPECT_TRUE(flags["fan"] && flags["overvoltage"] && flags["charge_mode"]);
    EXPECT_FALSE(flags["battery_enable"] || flags["main_fuse"] || flags["discharge_mode"]);
}

TEST(ReadingJson, AnyTrailingByteSurvivesAsItsCodePoint)
{
    std::string answer = answerA.substr(0, 74) + std::string("\xff\x00\x80", 3);
    std::string line = readingJsonLine(readingOf(answer));
    nlohmann::json back = nlohmann::json::parse(line);
    std::string text = back["answer"];
    // Bytes 0xFF, 0x00 and 0x80 are the code points U+00FF, U+0000 and U+0080.
    std::string tail = text.substr(74);
    EXPECT_EQ(tail, "\xc3\xbf" + std::string(1, '\0') + "\xc2\x80");
    EXPECT_NE(line.find(R"(\u0000)"), std::string::npos) << line;
}

TEST(ClassifyAnswer, OnlySeventySevenBytesWithHexFieldsAreAccepted)
{
    EXPECT_EQ(classifyAnswer(""), PollResult::timeout);
    EXPECT_EQ(classifyAnswer(answerA.substr(0, 76)), PollResult::shortAnswer);
    EXPECT_EQ(classifyAnswer(answerA + "0"), PollResult::longAnswer);
    EXPECT_EQ(classifyAnswer(answerA), PollResult::accepted);
    // The last three bytes are not looked at.
    EXPECT_EQ(classifyAnswer(answerA.substr(0, 74) + std::string("\0\xff\n", 3)), PollResult::accepted);
    std::string bad = answerA;
    bad[73] = 'G';
    EXPECT_EQ(classifyAnswer(bad), PollResult::malformed);
    bad = answerA;
    bad[10] = '\0';
    EXPECT_EQ(classifyAnswer(bad), PollResult::malformed);
    bad = answerA;
    bad[0] = ' ';
    EXPECT_EQ(classifyAnswer(bad), PollResult::malformed);
}

} // namespace
