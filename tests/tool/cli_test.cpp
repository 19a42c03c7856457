#include "tools/vavedu/cli.hpp"

#include <gtest/gtest.h>

namespace vavedu::tool {
namespace {

Invocation parse(std::vector<std::string> words) {
    std::vector<const char*> argv = {"vavedu"};
    for (const std::string& w : words)
        argv.push_back(w.c_str());
    return parseCommandLine(static_cast<int>(argv.size()), argv.data());
}

std::string usageError(std::vector<std::string> words) {
    try {
        parse(std::move(words));
    } catch (const UsageError& e) {
        return e.what();
    }
    return "(no error)";
}

TEST(CommandLine, GlobalOptionsComeBeforeTheCommand) {
    const Invocation i =
        parse({"--device", "loopback", "--registry", "MaximumTransferSize=0x1000", "--registry",
               "Other=7", "--capture", "out.pcap", "--trace", "--log", "--json", "version"});
    EXPECT_EQ(i.options.device, "loopback");
    ASSERT_EQ(i.options.registry.size(), 2u);
    EXPECT_EQ(i.options.registry[0], std::make_pair(std::string("MaximumTransferSize"), 0x1000u));
    EXPECT_EQ(i.options.registry[1].second, 7u);
    EXPECT_EQ(i.options.capture, "out.pcap");
    EXPECT_TRUE(i.options.trace && i.options.log && i.options.json);
    EXPECT_EQ(i.step.command, "version");
    EXPECT_FALSE(i.help);
}

TEST(CommandLine, TransferCommandsTakeTheirOptions) {
    const Invocation r = parse({"read", "--interface", "1", "--pipe", "0x1", "--bytes", "0x200",
                                "--hex", "--timeout", "100"});
    EXPECT_EQ(r.step.command, "read");
    EXPECT_EQ(r.step.interface, 1);
    EXPECT_EQ(r.step.pipe, 1);
    EXPECT_EQ(r.step.bytes, 512u);
    EXPECT_TRUE(r.step.hex);
    EXPECT_EQ(r.step.timeoutMs, 100u);

    const Invocation w = parse({"write", "--name", "\\PIPE_0", "--data", "01 02 ff"});
    EXPECT_EQ(w.step.name, "\\PIPE_0");
    EXPECT_EQ(w.step.data, (std::vector<uint8_t>{1, 2, 0xFF}));

    const Invocation c = parse({"control", "0xC0", "1", "0", "0", "64"});
    EXPECT_EQ(c.step.setup.bmRequestType, 0xC0);
    EXPECT_EQ(c.step.setup.bRequest, 1);
    const uint16_t length = c.step.setup.wLength;  // a packed field: copied, not bound
    EXPECT_EQ(length, 64);

    const Invocation io = parse({"ioctl", "get-banner", "--out-len", "16"});
    EXPECT_EQ(io.step.ioctlCode, 0x22001Cu);
    EXPECT_EQ(io.step.outLength, 16u);
    EXPECT_EQ(parse({"ioctl", "0x220000", "--in", "00"}).step.ioctlInput, std::vector<uint8_t>{0});

    const Invocation si = parse({"select-interface", "0", "1"});
    EXPECT_EQ(si.step.first, 0);
    EXPECT_EQ(si.step.second, 1);
    EXPECT_EQ(parse({"zlp", "query"}).step.zlp, "query");
    EXPECT_EQ(parse({"script", "-"}).step.scriptFile, "-");
    EXPECT_TRUE(parse({"descriptors", "--raw"}).step.raw);
}

TEST(CommandLine, MistakesAreUsageErrorsWithAClearMessage) {
    struct Case {
        std::vector<std::string> words;
        const char* message;  // a part of the message
    };
    const Case cases[] = {
        {{}, "subcommand"},
        {{"frobnicate"}, "frobnicate"},
        {{"read"}, "--bytes"},
        {{"read", "--bytes", "ten"}, "--bytes: 'ten' is not a number"},
        {{"read", "--bytes", "8", "--pipe", "1", "--name", "\\PIPE_1"}, "excludes"},
        {{"read", "--bytes", "8", "--interface", "1"}, "--interface needs --pipe"},
        {{"read", "--bytes", "8", "--pipe", "256"}, "--pipe: 256 is too large"},
        {{"write"}, "one of --bytes N, --in FILE or --data HEX"},
        {{"write", "--data", "123"}, "--data: '123' is not hex data"},
        {{"control", "0xC0", "1", "0", "0"}, "WLENGTH"},
        {{"control", "0x100", "1", "0", "0", "0"}, "BMREQUESTTYPE: 0x100 is too large"},
        {{"ioctl", "NO_SUCH"}, "neither an IOCTL name"},
        {{"zlp", "maybe"}, "maybe"},
        {{"--registry", "NoEquals", "version"}, "is not NAME=VALUE"},
        {{"--registry", "A=x", "version"}, "--registry A: 'x' is not a number"},
        {{"stall", "0x81"}, "unknown command 'stall'"},  // a script step only
        {{"bench", "--bus", "super-speed"}, "high-speed or full-speed"},
        {{"bench", "--latency", "10"}, "need --bus"},
        {{"bench", "--bus", "high-speed", "--latency", "1001"}, "--latency: 1001 is too large"},
        {{"bench", "--bus", "full-speed", "--pace", "1000"}, "on --bus high-speed"},
        {{"bench", "--bus", "high-speed", "--pipe", "1"}, "no --pipe"},
    };
    for (const Case& c : cases) {
        std::string joined;
        for (const auto& w : c.words)
            joined += w + " ";
        SCOPED_TRACE(joined);
        const std::string message = usageError(c.words);
        EXPECT_NE(message.find(c.message), std::string::npos) << message;
    }
}

TEST(CommandLine, HelpIsNotAnError) {
    const Invocation i = parse({"--help"});
    EXPECT_TRUE(i.help);
    EXPECT_NE(i.helpText.find("select-interface"), std::string::npos);
    const Invocation r = parse({"read", "--help"});
    EXPECT_TRUE(r.help);
    EXPECT_NE(r.helpText.find("--bytes"), std::string::npos);
}

TEST(ScriptSteps, ModelStepsAndExpectationsParse) {
    EXPECT_EQ(parseScriptStep({"stall", "0x81"}).endpoint, 0x81);
    const Step f = parseScriptStep({"fault", "0x01", "timeout", "--count", "2"});
    EXPECT_EQ(f.faultKind, "timeout");
    EXPECT_EQ(f.faultCount, 2u);
    EXPECT_EQ(parseScriptStep({"expect-status", "cancelled"}).expectStatus,
              static_cast<NtStatus>(0xC0000120u));
    EXPECT_EQ(parseScriptStep({"expect-status", "0xC000000D"}).expectStatus,
              static_cast<NtStatus>(0xC000000Du));
    EXPECT_EQ(parseScriptStep({"expect-bytes", "0x40"}).expectBytes, 64u);
    EXPECT_EQ(parseScriptStep({"read", "--name", "\\PIPE_2\\INTERFACE_1", "--bytes", "64"}).name,
              "\\PIPE_2\\INTERFACE_1");
    EXPECT_TRUE(isModelStep("surprise-remove"));
    EXPECT_FALSE(isModelStep("read"));
    EXPECT_TRUE(isExpectation("expect-bytes"));
}

TEST(ScriptSteps, DemoScriptAndBadStepsAreRefused) {
    for (const std::vector<std::string>& words : {std::vector<std::string>{"demo"},
                                                  {"script", "x"},
                                                  {"fault", "1", "melt"},
                                                  {"expect-status", "NOT_A_STATUS"},
                                                  {"unplug", "now"}}) {
        SCOPED_TRACE(words.front());
        EXPECT_THROW(parseScriptStep(words), UsageError);
    }
}

}  // namespace
}  // namespace vavedu::tool
