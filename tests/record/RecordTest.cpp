// The record of the headless front ends: what a sample becomes, in every
// unit, and the two formats as a real parser reads them back.

#include "record/Record.h"

#include "record/CsvRecordWriter.h"
#include "record/JsonLinesRecordWriter.h"
#include "record/RecordText.h"
#include "support/CommaLocale.h"

#include <charconv>
#include <chrono>
#include <gtest/gtest.h>
#include <sstream>

#if ZELMORA_HAVE_NLOHMANN_JSON
#include <nlohmann/json.hpp>
#endif

namespace zelmora {
namespace {

using namespace std::chrono;

MeterSample Sample(double power, PowerUnit unit, SampleStatus status = SampleStatus::Ok) {
    MeterSample sample;
    sample.power = power;
    sample.unit = unit;
    sample.status = status;
    sample.count = 41;
    sample.elapsedMs = 4200;
    sample.range = 3;
    sample.wavelength = 1064;
    sample.utcTime = sys_days(2026y / December / 8) + 13h + 5min + 22s + 471ms;
    return sample;
}

double ReadBack(const std::string& text) {
    double value = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    EXPECT_EQ(result.ptr, text.data() + text.size()) << text;
    return value;
}

TEST(RecordTest, PowerInEveryUnitWhateverTheFamily) {
    struct Case {
        double power;
        PowerUnit from;
        RecordUnit to;
        double expected;
    };
    for (const Case& c : {
             Case{0.01234, PowerUnit::Watt, RecordUnit::W, 0.01234},
             Case{0.01234, PowerUnit::Watt, RecordUnit::mW, 12.34},
             Case{0.01234, PowerUnit::Watt, RecordUnit::uW, 12340},
             Case{0.01234, PowerUnit::Watt, RecordUnit::dBm, 10.913151596972201},
             Case{12.34, PowerUnit::Milliwatt, RecordUnit::W, 0.01234},
             Case{12.34, PowerUnit::Milliwatt, RecordUnit::mW, 12.34},
             Case{0.000349, PowerUnit::Milliwatt, RecordUnit::uW, 0.349},
             Case{1, PowerUnit::Milliwatt, RecordUnit::dBm, 0},
             Case{1000, PowerUnit::Watt, RecordUnit::dBm, 60},
         }) {
        const std::optional<double> value = ConvertPower(c.power, c.from, c.to);
        ASSERT_TRUE(value);
        if (c.to == RecordUnit::dBm) {
            EXPECT_NEAR(*value, c.expected, 1e-9);
        } else {
            // Exactly the decimal number, not a neighbour of it.
            EXPECT_EQ(*value, c.expected) << c.power << " " << UnitName(c.to);
        }
    }
    EXPECT_FALSE(ConvertPower(0, PowerUnit::Watt, RecordUnit::dBm));
    EXPECT_FALSE(ConvertPower(1, PowerUnit::None, RecordUnit::W));
}

TEST(RecordTest, StatusTellsWhyThePowerIsMissing) {
    Record record = MakeRecord(Sample(0.5, PowerUnit::Watt), "210400101", RecordUnit::mW);
    EXPECT_EQ(record.status, RecordStatus::Ok);
    EXPECT_EQ(record.power, 500);
    EXPECT_EQ(record.count, 41);

    // Over range keeps the converted number, as the window's log does.
    record = MakeRecord(Sample(0.03, PowerUnit::Watt, SampleStatus::OverRange), "m", RecordUnit::W);
    EXPECT_EQ(record.status, RecordStatus::OverRange);
    EXPECT_EQ(record.power, 0.03);

    // The link repeats the previous power for a range it cannot convert.
    record =
        MakeRecord(Sample(0.5, PowerUnit::Watt, SampleStatus::NoConversion), "m", RecordUnit::W);
    EXPECT_EQ(record.status, RecordStatus::NoConversion);
    EXPECT_FALSE(record.power);
    record = MakeRecord(Sample(0.5, PowerUnit::None), "m", RecordUnit::W);
    EXPECT_EQ(record.status, RecordStatus::NoConversion);
    EXPECT_FALSE(record.power);

    record = MakeRecord(Sample(0, PowerUnit::Milliwatt), "m", RecordUnit::dBm);
    EXPECT_EQ(record.status, RecordStatus::ZeroPower);
    EXPECT_FALSE(record.power);
    EXPECT_EQ(StatusName(record.status), "zero_power");
}

TEST(RecordTest, TextsAreShortestAndInTheCLocale) {
    const CommaLocale comma;
    ASSERT_TRUE(comma.IsActive()) << "a comma locale (de_DE.UTF-8) must be installed";
    for (const double value : {0.1, 0.012345, 12.34, 1e-05, 29990.0, -19.0848501887865, 0.0}) {
        std::string text;
        AppendNumber(text, value);
        EXPECT_EQ(text.find(','), std::string::npos) << text;
        EXPECT_EQ(ReadBack(text), value) << text;
    }
    std::string text;
    AppendNumber(text, 0.1);
    EXPECT_EQ(text, "0.1");

    EXPECT_EQ(FormatUtcTime(Sample(0, PowerUnit::Watt).utcTime), "2026-12-08T13:05:22.471Z");
    EXPECT_EQ(FormatUtcTime(sys_days(1999y / January / 1) + 5ms), "1999-01-01T00:00:00.005Z");

    std::string field;
    AppendCsvField(field, "plain");
    AppendCsvField(field, "a,\"b\"");
    EXPECT_EQ(field, "plain\"a,\"\"b\"\"\"");
}

RunMetadata Metadata() {
    RunMetadata metadata;
    metadata.program = "zelmora-cli";
    metadata.version = "1.0.0";
    metadata.started = Sample(0, PowerUnit::Watt).utcTime;
    metadata.unit = RecordUnit::mW;
    metadata.meters = {{"210400101", "KV", "KV50", 1064}, {"bad,\"id", "ZN", "ZN21", std::nullopt}};
    return metadata;
}

TEST(RecordTest, CsvCommentsAreOneFieldEachAndTheHeaderFollows) {
    const CCsvRecordWriter writer(RecordUnit::mW);
    std::string text;
    writer.AppendMetadata(text, Metadata(), false);
    std::istringstream lines(text);
    std::string line;
    std::vector<std::string> comments;
    while (std::getline(lines, line) && line.starts_with("# ")) {
        EXPECT_EQ(line.find_first_of(",\""), std::string::npos) << line;
        comments.push_back(line);
    }
    EXPECT_EQ(line, "time_utc,elapsed_s,meter,count,power_mW,status,range,wavelength_nm");
    EXPECT_EQ(comments.front(), "# program: zelmora-cli 1.0.0");
    EXPECT_EQ(comments.back(), "# meter: bad??id probe_family=ZN probe_model=ZN21 "
                               "wavelength_nm=unknown");

    std::string continued;
    writer.AppendMetadata(continued, Metadata(), true);
    EXPECT_EQ(continued.find("time_utc"), std::string::npos) << "no second header row";

    std::string record;
    writer.AppendRecord(record, MakeRecord(Sample(0.5, PowerUnit::Watt), "bad,id", RecordUnit::mW));
    writer.AppendRecord(record, MakeRecord(Sample(0.5, PowerUnit::Watt, SampleStatus::NoConversion),
                                           "m", RecordUnit::mW));
    EXPECT_EQ(record, "2026-12-08T13:05:22.471Z,4.2,\"bad,id\",41,500,ok,3,1064\n"
                      "2026-12-08T13:05:22.471Z,4.2,m,41,,no_conversion,3,1064\n");

    std::string event;
    writer.AppendEvent(event, {RunEvent::Kind::SamplesLost, Metadata().started, "m", 12, {}});
    EXPECT_EQ(event, "# samples_lost: m 2026-12-08T13:05:22.471Z 12\n");
}

#if ZELMORA_HAVE_NLOHMANN_JSON
TEST(RecordTest, JsonLinesReadBackByAParser) {
    const CJsonLinesRecordWriter writer(RecordUnit::W);
    std::string text;
    writer.AppendMetadata(text, Metadata(), false);
    writer.AppendRecord(
        text, MakeRecord(Sample(0.012345, PowerUnit::Watt), "a\"b\\c\x01", RecordUnit::W));
    writer.AppendRecord(text, MakeRecord(Sample(0, PowerUnit::None), "m", RecordUnit::W));
    writer.AppendEvent(text, {RunEvent::Kind::MeterLost, Metadata().started, "m", 0, "unplugged"});
    std::istringstream lines(text);
    std::string line;
    std::vector<nlohmann::json> objects;
    while (std::getline(lines, line)) {
        objects.push_back(nlohmann::json::parse(line));
    }
    ASSERT_EQ(objects.size(), 4u);
    EXPECT_EQ(objects[0]["program"], "zelmora-cli");
    EXPECT_EQ(objects[0]["unit"], "mW");
    EXPECT_EQ(objects[0]["meters"][0]["wavelength_nm"], 1064);
    EXPECT_TRUE(objects[0]["meters"][1]["wavelength_nm"].is_null());
    EXPECT_EQ(objects[0]["meters"][1]["id"], "bad,\"id");
    EXPECT_EQ(objects[0]["fields"][4], "power_W");
    EXPECT_EQ(objects[1]["meter"], "a\"b\\c\x01");
    EXPECT_EQ(objects[1]["power_W"].get<double>(), 0.012345);
    EXPECT_EQ(objects[1]["elapsed_s"].get<double>(), 4.2);
    EXPECT_EQ(objects[1]["time_utc"], "2026-12-08T13:05:22.471Z");
    EXPECT_TRUE(objects[2]["power_W"].is_null());
    EXPECT_EQ(objects[2]["status"], "no_conversion");
    EXPECT_EQ(objects[3]["event"], "meter_lost");
    EXPECT_EQ(objects[3]["detail"], "unplugged");
}
#endif

} // namespace
} // namespace zelmora
