#include "scpi/ScpiSession.h"

#include "meter/DeviceLink.h"
#include "scpi/ScpiCommandTable.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>

namespace zelmora {
namespace {

MeterSample Sample(double watts, SampleStatus status = SampleStatus::Ok, int range = 2) {
    MeterSample sample;
    sample.power = watts;
    sample.unit = PowerUnit::Watt;
    sample.status = status;
    sample.range = range;
    sample.wavelength = 1064;
    return sample;
}

class ScpiSessionTest : public ::testing::Test {
protected:
    ScpiSessionTest()
        : session(ScpiMeterInfo{"210400101", "KV", "KV10", "zelmora-cli", "1.2.3", [](int range) {
                                    return CDeviceLink::RangeLimit("KV", "KV10", range);
                                }}) {}

    // The answer line of a message, without its LF; empty when none came.
    std::string Ask(const std::string& message) {
        session.Execute(message);
        std::string out = session.TakeOutput();
        if (!out.empty() && out.back() == '\n') {
            out.pop_back();
        }
        return out;
    }
    double Number(const std::string& message) { return std::strtod(Ask(message).c_str(), nullptr); }

    CScpiSession session;
};

TEST_F(ScpiSessionTest, HeadersMatchLongShortAndOptionalForms) {
    for (const char* header :
         {"MEAS:POW", "measure:scalar:power", "MEAS", "meas1:scal", ":MEASure:POWer", "FETC",
          "SENS:AVER:COUN", "AVER", "sense1:average", "SYST:ERR", "SYSTEM:ERROR:NEXT",
          "SENS:CORR:COLL:ZERO:INIT", "CORR:COLL:ZERO", "*idn"}) {
        EXPECT_NE(FindScpiCommand(header), nullptr) << header;
    }
    for (const char* header : {"MEA", "MEASU:POW", "MEAS2", "SENS2:AVER", "POW:SCAL:MEAS",
                               "SYST:ERR:NEXT:NEXT", "", ":", "SYST::ERR", "AVERAGEX"}) {
        EXPECT_EQ(FindScpiCommand(header), nullptr) << header;
    }
}

TEST_F(ScpiSessionTest, CommonCommandsAndSeveralQueriesOnOneLine) {
    EXPECT_EQ(Ask("*IDN?"), "Zelmora,zelmora-cli,210400101,1.2.3");
    EXPECT_EQ(Ask("*ESR?"), "128"); // power on
    EXPECT_EQ(Ask("*ESR?"), "0");
    EXPECT_EQ(Ask("*TST?;*OPC?;SYST:VERS?"), "0;1;1999.0");
    EXPECT_EQ(Ask("*ESE 32;*ESE?;*SRE 255;*SRE?"), "32;191");
    EXPECT_EQ(Ask("*RST"), "");
    EXPECT_EQ(Ask("*OPC;*ESR?"), "1");
}

TEST_F(ScpiSessionTest, ErrorsQueueInOrderAndSetStatusBits) {
    EXPECT_EQ(Ask("BOGUS:CMD"), "");
    EXPECT_EQ(Ask("SENS:AVER 0"), "");
    EXPECT_EQ(Ask("SENS:AVER"), "");
    EXPECT_EQ(Ask("SENS:CORR:WAV 633"), "");
    EXPECT_EQ(Ask("*IDN? 5"), "");
    EXPECT_EQ(Ask("SYST:ERR:COUN?"), "5");
    EXPECT_EQ(Ask("*STB?"), "4");
    EXPECT_EQ(Ask("SYST:ERR?"), "-113,\"Undefined header;BOGUS:CMD\"");
    EXPECT_EQ(Ask("SYST:ERR?").substr(0, 5), "-222,");
    EXPECT_EQ(Ask("SYST:ERR?"), "-109,\"Missing parameter\"");
    EXPECT_EQ(Ask("SYST:ERR?").substr(0, 5), "-221,");
    EXPECT_EQ(Ask("SYST:ERR?"), "-108,\"Parameter not allowed\"");
    EXPECT_EQ(Ask("SYST:ERR?"), "0,\"No error\"");
    // Command error, execution error, power on.
    EXPECT_EQ(Ask("*ESR?"), "176");
}

TEST_F(ScpiSessionTest, ErrorQueueIsBoundedAndEndsWithOverflow) {
    for (int i = 0; i < 1000; ++i) {
        session.Execute("NOPE");
    }
    EXPECT_EQ(Ask("SYST:ERR:COUN?"), "16");
    for (int i = 0; i < 15; ++i) {
        EXPECT_EQ(Ask("SYST:ERR?").substr(0, 5), "-113,");
    }
    EXPECT_EQ(Ask("SYST:ERR?"), "-350,\"Queue overflow\"");
    EXPECT_EQ(Ask("*CLS;SYST:ERR:COUN?"), "0");
}

TEST_F(ScpiSessionTest, CommandErrorDropsTheRestOfTheMessage) {
    EXPECT_EQ(Ask("*IDN?;NOPE?;*TST?"), "Zelmora,zelmora-cli,210400101,1.2.3");
    EXPECT_EQ(Ask("SYST:ERR:COUN?"), "1");
    // Bytes that are not header characters (invalid UTF-8 too) are not
    // echoed raw into the error.
    EXPECT_EQ(Ask("\xff\xfe?"), "");
    const std::string error = Ask("SYST:ERR?;SYST:ERR?");
    EXPECT_NE(error.find("-101,"), std::string::npos) << error;
    EXPECT_EQ(error.find('\xff'), std::string::npos);
}

TEST_F(ScpiSessionTest, FollowingHeadersAreRelativeToThePreviousPath) {
    EXPECT_EQ(Ask("SENS:POW:UNIT DBM;REF:STAT ON;UNIT?;REF:STAT?"), "DBM;1");
    EXPECT_EQ(Ask("SYST:ERR:COUN?"), "0");
    EXPECT_EQ(Ask("SENS:AVER 4;:SENS:AVER?;*IDN?;SYST:ERR:COUN?").substr(0, 9), "4;Zelmora");
}

TEST_F(ScpiSessionTest, QueriesWaitForSamplesAndAnswerInOrder) {
    // No sample yet: the message waits, and so does its first answer.
    session.Execute("*IDN?;FETC?");
    EXPECT_TRUE(session.Waiting());
    EXPECT_EQ(session.TakeOutput(), "");
    session.OnSample(Sample(0.5));
    EXPECT_FALSE(session.Waiting());
    EXPECT_EQ(session.TakeOutput(), "Zelmora,zelmora-cli,210400101,1.2.3;5.000000E-01\n");

    // READ? averages the next N samples taken after it, not older ones.
    Ask("SENS:AVER 3");
    session.Execute("READ?");
    session.OnSample(Sample(1.0));
    session.OnSample(Sample(2.0));
    EXPECT_EQ(session.TakeOutput(), "");
    session.OnSample(Sample(3.0));
    EXPECT_EQ(session.TakeOutput(), "2.000000E+00\n");
    // FETCh? answers at once with the running mean of the last three.
    session.OnSample(Sample(4.0));
    EXPECT_DOUBLE_EQ(Number("FETC?"), 3.0);
    EXPECT_DOUBLE_EQ(Number("MEAS:POW?;*OPC?"), 0) << "waits";
    session.OnSample(Sample(1.0));
    session.OnSample(Sample(1.0));
    session.OnSample(Sample(1.0));
    EXPECT_EQ(session.TakeOutput(), "1.000000E+00;1\n");
}

TEST_F(ScpiSessionTest, OverRangeAndNoConversionUseTheStandardValues) {
    session.OnSample(Sample(5.5, SampleStatus::OverRange));
    EXPECT_EQ(Ask("FETC?;SYST:ERR:COUN?"), "9.900000E+37;0");
    session.OnSample(Sample(0.1, SampleStatus::NoConversion, 9));
    EXPECT_EQ(Ask("FETC?"), "9.910000E+37");
    EXPECT_EQ(Ask("SYST:ERR?"), "-230,\"Data corrupt or stale;no conversion for range 9\"");
    // Milliwatt families read in watts like the others.
    MeterSample milli = Sample(12.5);
    milli.unit = PowerUnit::Milliwatt;
    session.OnSample(milli);
    EXPECT_EQ(Ask("FETC?"), "1.250000E-02");
}

TEST_F(ScpiSessionTest, DbmRelativeAndZero) {
    session.OnSample(Sample(0.001));
    EXPECT_NEAR(Number("POW:UNIT DBM;FETC?"), 0.0, 1e-9);
    session.OnSample(Sample(0.01));
    EXPECT_NEAR(Number("FETC?"), 10.0, 1e-9);
    // Relative in dBm: decibels above the reference.
    EXPECT_NEAR(Number("POW:REF 3;REF:STAT ON;:FETC?"), 7.0, 1e-9);
    EXPECT_NEAR(Number("POW:UNIT W;REF?"), 0.001995, 1e-6);
    EXPECT_NEAR(Number("POW:REF 0.004;:FETC?"), 0.006, 1e-12);
    EXPECT_EQ(Ask("POW:REF:STAT OFF;STAT?;:SYST:ERR:COUN?"), "0;0");

    // A zero from the mean of the next samples, taken off every later one.
    session.Execute("CORR:COLL:ZERO;*OPC?");
    for (int i = 0; i < CScpiSession::kZeroSamples; ++i) {
        EXPECT_EQ(session.TakeOutput(), "");
        session.OnSample(Sample(0.002));
    }
    EXPECT_EQ(session.TakeOutput(), "1\n");
    EXPECT_EQ(Ask("CORR:COLL:ZERO:STAT?;MAGN?"), "1;2.000000E-03");
    session.OnSample(Sample(0.005));
    EXPECT_NEAR(Number("FETC?"), 0.003, 1e-12);
    // Under the zero a dBm reading has no value: the negative overflow.
    session.OnSample(Sample(0.001));
    EXPECT_EQ(Ask("POW:UNIT DBM;FETC?"), "-9.900000E+37");
    EXPECT_EQ(Ask("*RST;CORR:COLL:ZERO:STAT?;:POW:UNIT?;:AVER?"), "0;W;1");
}

TEST_F(ScpiSessionTest, LimitsWavelengthAndRange) {
    EXPECT_EQ(Ask("AVER? MIN;AVER? MAX;AVER? DEF"), "1;20000;1");
    EXPECT_EQ(Ask("AVER MAX;AVER?;AVER DEF;AVER?"), "20000;1");
    EXPECT_EQ(Ask("AVER 2.6;AVER?"), "3");
    session.OnSample(Sample(1.0, SampleStatus::Ok, 2));
    EXPECT_EQ(Ask("CORR:WAV?;CORR:WAV? MIN;SENS:CORR:WAV? MAX"), "1064;1064;1064");
    EXPECT_EQ(Ask("POW:RANG?"), "5.000000E+00");
    session.OnSample(Sample(1.0, SampleStatus::Ok, 12));
    EXPECT_EQ(Ask("POW:RANG:UPP?"), "9.910000E+37");
    EXPECT_EQ(Ask("SYST:ERR?").substr(0, 5), "-230,");
}

TEST_F(ScpiSessionTest, LostMeterAnswersWhatWaits) {
    session.Execute("READ?");
    EXPECT_TRUE(session.Waiting());
    session.OnMeterLost();
    EXPECT_FALSE(session.Waiting());
    EXPECT_EQ(session.TakeOutput(), "9.910000E+37\n");
    EXPECT_EQ(Ask("SYST:ERR?").substr(0, 5), "-241,");
}

TEST_F(ScpiSessionTest, HelpListsTheTable) {
    const std::string help = Ask("SYST:HELP:HEAD?");
    ASSERT_EQ(help.substr(0, 1), "#");
    const std::size_t digits = static_cast<std::size_t>(help[1] - '0');
    const std::size_t length = std::stoul(help.substr(2, digits));
    EXPECT_EQ(help.size(), 2 + digits + length);
    for (const ScpiCommand& command : ScpiCommandTable()) {
        EXPECT_NE(help.find(std::string(command.pattern)), std::string::npos) << command.pattern;
    }
}

} // namespace
} // namespace zelmora
