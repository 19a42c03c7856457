// The built `vavedu` run as a subprocess, as a user runs it: its output, its --json lines and its
// exit statuses, commands one by one and scripts with expectations.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Outcome {
    int exit = -1;
    std::string out;
    std::string err;
    std::vector<std::string> lines() const {
        std::vector<std::string> result;
        std::istringstream in(out);
        for (std::string line; std::getline(in, line);)
            result.push_back(line);
        return result;
    }
};

std::string quote(const std::string& word) {
    std::string q = "'";
    for (char c : word)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class ToolTest : public ::testing::Test {
  protected:
    ToolTest() {
        dir_ = fs::temp_directory_path() /
               ("vavedu-tool-test-" + std::to_string(getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
    }
    ~ToolTest() override { fs::remove_all(dir_); }

    // Runs the tool with `args` in the test's own directory; `input` becomes standard input.
    Outcome run(const std::vector<std::string>& args, const std::string& input = "") {
        const fs::path in = dir_ / "stdin.txt", out = dir_ / "stdout.txt",
                       err = dir_ / "stderr.txt";
        std::ofstream(in) << input;
        std::string command = "cd " + quote(dir_.string()) + " && " + quote(VAVEDU_TOOL);
        for (const std::string& a : args)
            command += " " + quote(a);
        command +=
            " <" + quote(in.string()) + " >" + quote(out.string()) + " 2>" + quote(err.string());
        const int status = std::system(command.c_str());
        Outcome r;
        r.exit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        r.out = slurp(out);
        r.err = slurp(err);
        return r;
    }

    fs::path file(const std::string& name, const std::string& text) {
        const fs::path path = dir_ / name;
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }

    fs::path dir_;
};

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

#define EXPECT_CONTAINS(text, part) \
    EXPECT_TRUE(contains(text, part)) << "missing: " << (part) << "\nin:\n" << (text)

TEST_F(ToolTest, JsonResultHasStatusNameAndByteCount) {
    const Outcome r = run({"--json", "version"});
    EXPECT_EQ(r.exit, 0) << r.err;
    const std::vector<std::string> lines = r.lines();
    ASSERT_EQ(lines.size(), 1u) << r.out;
    const std::string& line = lines[0];
    EXPECT_EQ(line.front(), '{');
    EXPECT_EQ(line.back(), '}');
    EXPECT_CONTAINS(line, "\"command\":\"version\"");
    EXPECT_CONTAINS(line, "\"status\":\"0x00000000\"");
    EXPECT_CONTAINS(line, "\"status_name\":\"STATUS_SUCCESS\"");
    EXPECT_CONTAINS(line, "\"information\":4");
    EXPECT_CONTAINS(line, "\"driver_version\":\"0x0C000000\"");
}

struct CommandCase {
    std::vector<std::string> args;
    int exit;
    std::vector<std::string> expected;  // parts of the output
};

TEST_F(ToolTest, CommandsReportStatusBytesAndTheirData) {
    const CommandCase cases[] = {
        {{"info"}, 0, {"info: STATUS_SUCCESS (0x00000000)", "vendor 0x1209", "serial: VV0001"}},
        {{"list"}, 0, {"\\??\\USB#VID_1209&PID_0001"}},
        {{"descriptors"}, 0, {"configuration 2", "pipe 1: endpoint 0x86 IN  bulk"}},
        {{"descriptors", "--raw"}, 0, {"0000: 12 01 00 02"}},
        {{"banner"}, 0, {"banner: STATUS_SUCCESS", "VaVedu.SYS version 0C00.0000"}},
        {{"usbdi-version"}, 0, {"8 bytes", "USBDI version"}},
        {{"last-status"}, 0, {"USBD_STATUS_SUCCESS (0x00000000)"}},
        {{"zlp", "on"}, 0, {"zero-length packets: on"}},
        {{"zlp", "query"}, 0, {"zero-length packets: off"}},
        {{"select-config", "2"}, 0, {"select-config: STATUS_SUCCESS"}},
        {{"select-interface", "0", "1"}, 0, {"pipe 1: endpoint 0x81 IN  bulk, 64-byte packets"}},
        {{"reset-port"}, 0, {"reset-port: STATUS_SUCCESS"}},
        {{"reset-pipe", "1", "0"}, 0, {"reset-pipe: STATUS_SUCCESS"}},
        {{"reset-pipe", "5", "0"}, 1, {"STATUS_INVALID_PARAMETER (0xC000000D)"}},
        {{"control", "0xC0", "1", "0", "0", "64"}, 0, {"32 bytes", "firmware 2.1.0"}},
        {{"control", "0x40", "2", "0", "0", "4", "--data", "0102"},
         1,
         {"STATUS_INVALID_BUFFER_SIZE"}},
        {{"control", "0xA1", "1", "0", "0", "0"}, 1, {"STATUS_INVALID_PARAMETER"}},
        {{"ioctl", "GET_BANNER", "--out-len", "6"}, 0, {"6 bytes", "|VaVedu|"}},
        {{"ioctl", "0x220000", "--out-len", "8"}, 1, {"STATUS_INVALID_BUFFER_SIZE (0xC0000206)"}},
        {{"ioctl", "0x22002C"}, 1, {"STATUS_INVALID_DEVICE_REQUEST"}},
        {{"write", "--pipe", "0", "--data", "01 02 03"}, 0, {"write: STATUS_SUCCESS", "3 bytes"}},
        {{"read", "--pipe", "1", "--bytes", "64", "--timeout", "100"},
         1,
         {"STATUS_CANCELLED (0xC0000120)", "cancelled after 100 ms"}},
        {{"read", "--name", "\\PIPE_1\\INTERFACE_1", "--bytes", "1024"}, 0, {"1024 bytes"}},
        {{"read", "--name", "\\pipe_1", "--bytes", "8"}, 1, {"STATUS_INVALID_PARAMETER"}},
        {{"bench", "--bytes", "65536", "--iterations", "2"},
         0,
         {"MB/s", "4 requests", "every byte came back as sent"}},
        {{"bench", "--interface", "1", "--pipe", "1", "--bytes", "4096", "--iterations", "3"},
         0,
         {"3 requests"}},
    };
    for (const CommandCase& c : cases) {
        std::string joined;
        for (const auto& a : c.args)
            joined += a + " ";
        SCOPED_TRACE(joined);
        const Outcome r = run(c.args);
        EXPECT_EQ(r.exit, c.exit) << r.out << r.err;
        for (const std::string& part : c.expected)
            EXPECT_CONTAINS(r.out, part);
    }
}

TEST_F(ToolTest, ReadDataGoesToAFileOrAsHexIntoJson) {
    const Outcome toFile =
        run({"read", "--interface", "1", "--pipe", "1", "--bytes", "512", "--out", "samples.bin"});
    EXPECT_EQ(toFile.exit, 0) << toFile.out << toFile.err;
    EXPECT_EQ(fs::file_size(dir_ / "samples.bin"), 512u);
    const Outcome json =
        run({"--json", "read", "--name", "\\PIPE_1\\INTERFACE_1", "--bytes", "512"});
    EXPECT_CONTAINS(json.out, "\"information\":512");
    const size_t at = json.out.find("\"data\":\"");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(json.out.find('"', at + 8) - (at + 8), 1024u);  // 512 bytes as hex
}

TEST_F(ToolTest, UsageErrorsExitTwoWithAClearMessage) {
    const CommandCase cases[] = {
        {{}, 2, {"subcommand"}},
        {{"frobnicate"}, 2, {"unknown command 'frobnicate'"}},
        {{"read"}, 2, {"--bytes"}},
        {{"read", "--bytes", "ten"}, 2, {"--bytes: 'ten' is not a number"}},
        {{"--registry", "NoValue", "version"}, 2, {"is not NAME=VALUE"}},
        {{"--device", "no-such-model", "version"}, 2, {"neither a built-in model"}},
        {{"script", "no-such-file.txt"}, 2, {"cannot read no-such-file.txt"}},
        {{"write", "--pipe", "0", "--in", "missing.bin"}, 2, {"cannot read missing.bin"}},
    };
    for (const CommandCase& c : cases) {
        std::string joined;
        for (const auto& a : c.args)
            joined += a + " ";
        SCOPED_TRACE(joined);
        const Outcome r = run(c.args);
        EXPECT_EQ(r.exit, c.exit);
        for (const std::string& part : c.expected)
            EXPECT_CONTAINS(r.err, part);
        EXPECT_CONTAINS(r.err, "vavedu --help");
    }
    const Outcome help = run({"--help"});
    EXPECT_EQ(help.exit, 0);
    EXPECT_CONTAINS(help.out, "select-interface");
}

TEST_F(ToolTest, ScriptWithExpectationsPassesAcrossRemovalAndFaults) {
    const fs::path script = file("scenario.txt", R"(# loopback, faults and removal in one session
write --pipe 0 --bytes 1000
expect-bytes 1000
read --name '\PIPE_1\INTERFACE_0' --bytes 1000
expect-status STATUS_SUCCESS
expect-bytes 1000
stall 0x81
write --pipe 0 --data "01 02 03"
read --pipe 1 --bytes 3
expect-status unsuccessful   # the endpoint stalled
last-status
reset-pipe 1 0
read --pipe 1 --bytes 3
expect-bytes 3
fault 0x01 timeout
write --pipe 0 --bytes 8
expect-status STATUS_UNSUCCESSFUL   # a USBD time-out is no NTSTATUS time-out
surprise-remove
version
expect-status STATUS_NO_SUCH_DEVICE
plug
version
expect-status 0
unplug
read --pipe 1 --bytes 1
expect-status 0xC000000E
plug
reset-port   # the instrument comes back as a new device; the session follows it
stop
start
select-interface 0 1
write --pipe 0 --bytes 64
read --pipe 1 --bytes 64
expect-bytes 64
)");
    const Outcome r = run({"script", script.string()});
    EXPECT_EQ(r.exit, 0) << r.out << r.err;
    EXPECT_CONTAINS(r.out, "[10] expect-status: STATUS_UNSUCCESSFUL (0xC0000001), 0 bytes");
    EXPECT_CONTAINS(r.out, "USBD_STATUS_STALL_PID");
    EXPECT_CONTAINS(r.out, "[18] surprise-remove: STATUS_SUCCESS");
    EXPECT_CONTAINS(r.out, "0 failed");
}

TEST_F(ToolTest, FailedExpectationSaysWhatWasExpectedAndWhatCame) {
    const Outcome r = run({"script", "-"}, "write --pipe 0 --data 0102\nexpect-bytes 5\nversion\n");
    EXPECT_EQ(r.exit, 1);
    EXPECT_CONTAINS(r.out, "write: expected 5 bytes, got 2 bytes");
    EXPECT_CONTAINS(r.out, "[3] version: STATUS_SUCCESS");  // later steps still run
    EXPECT_CONTAINS(r.out, "2 steps, 1 failed");
    const Outcome status = run({"script", "-"}, "version\nexpect-status STATUS_CANCELLED\n");
    EXPECT_EQ(status.exit, 1);
    EXPECT_CONTAINS(status.out,
                    "expected STATUS_CANCELLED (0xC0000120), got STATUS_SUCCESS (0x00000000)");
}

TEST_F(ToolTest, UnexpectedFailureInAScriptExitsOne) {
    const Outcome r = run({"script", "-"}, "reset-pipe 9 0\nversion\n");
    EXPECT_EQ(r.exit, 1);
    EXPECT_CONTAINS(r.out, "2 steps, 1 failed");
}

TEST_F(ToolTest, ScriptUsageErrorRunsNothing) {
    const Outcome r = run({"script", "-"}, "version\n\nread --bytes 'unterminated\nzlp maybe\n");
    EXPECT_EQ(r.exit, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_CONTAINS(r.err, "script line 3: unterminated single quote");
    EXPECT_CONTAINS(r.err, "script line 4:");
    const Outcome nested = run({"script", "-"}, "demo\n");
    EXPECT_EQ(nested.exit, 2);
    EXPECT_CONTAINS(nested.err, "'demo' cannot run inside a script");
    const Outcome orphan = run({"script", "-"}, "expect-bytes 1\n");
    EXPECT_EQ(orphan.exit, 2);
}

TEST_F(ToolTest, JsonScriptGivesOneObjectPerLine) {
    const Outcome r = run({"--json", "script", "-"},
                          "version\nexpect-bytes 4\ncontrol 0xC0 1 0 0 64\nsurprise-remove\n");
    EXPECT_EQ(r.exit, 0) << r.out << r.err;
    const auto lines = r.lines();
    ASSERT_EQ(lines.size(), 5u) << r.out;
    for (const std::string& line : lines) {
        EXPECT_EQ(line.front(), '{');
        EXPECT_CONTAINS(line, "\"status\":\"0x");
        EXPECT_CONTAINS(line, "\"status_name\":");
        EXPECT_CONTAINS(line, "\"information\":");
    }
    EXPECT_CONTAINS(lines[2], "\"text\":\"VaVedu instrument firmware 2.1.0\"");
    EXPECT_CONTAINS(lines[4], "\"command\":\"script\"");
}

TEST_F(ToolTest, RegistryValueSetsTheChunkSize) {
    // 64 KiB out and back in chunks of MaximumTransferSize: 4 + 4 with the default 16 KiB,
    // 16 + 16 with 4 KiB.
    const Outcome small = run({"--json", "--registry", "MaximumTransferSize=0x1000", "bench",
                               "--bytes", "65536", "--iterations", "1"});
    EXPECT_EQ(small.exit, 0) << small.out << small.err;
    EXPECT_CONTAINS(small.out, "\"chunks\":32");
    const Outcome normal = run({"--json", "bench", "--bytes", "65536", "--iterations", "1"});
    EXPECT_CONTAINS(normal.out, "\"chunks\":8");
}

TEST_F(ToolTest, BenchOnATimedBusReportsTheShareOfTheBus) {
    const Outcome r = run({"--json", "bench", "--bus", "high-speed", "--max-transfer", "65536",
                           "--bytes", "1048576", "--iterations", "1"});
    EXPECT_EQ(r.exit, 0) << r.out << r.err;
    EXPECT_CONTAINS(r.out, "\"chunks_per_request\":16");
    EXPECT_CONTAINS(r.out, "\"two_in_flight_share\":");
    const Outcome inScript = run({"script", "-"}, "bench --bus high-speed\n");
    EXPECT_NE(inScript.exit, 0);
    EXPECT_CONTAINS(inScript.out, "give it on the command line");
}

TEST_F(ToolTest, TraceLogAndCaptureShowTheSession) {
    const Outcome r = run({"--trace", "--log", "--capture", "session.pcap", "write", "--pipe", "0",
                           "--data", "0102"});
    EXPECT_EQ(r.exit, 0) << r.err;
    EXPECT_CONTAINS(r.out, "[debug] ");
    EXPECT_CONTAINS(r.out, "BULK_OR_INTERRUPT_TRANSFER ep 0x01");
    const std::string pcap = slurp(dir_ / "session.pcap");
    ASSERT_GE(pcap.size(), 24u);
    EXPECT_EQ(pcap.substr(0, 4), std::string("\xD4\xC3\xB2\xA1", 4));
    EXPECT_EQ(static_cast<unsigned char>(pcap[20]), 249u);  // link type USBPcap
}

TEST_F(ToolTest, RawDescriptorDeviceIsReplayed) {
    // A device descriptor and one configuration with a bulk pair 0x01/0x81 of 64-byte packets.
    const std::string raw(
        "\x12\x01\x00\x02\x00\x00\x00\x40\x34\x12\x78\x56\x00\x01\x00\x00\x00\x01"
        "\x09\x02\x20\x00\x01\x01\x00\x80\x32"
        "\x09\x04\x00\x00\x02\xFF\x00\x00\x00"
        "\x07\x05\x01\x02\x40\x00\x00"
        "\x07\x05\x81\x02\x40\x00\x00",
        18 + 32);
    const fs::path device = file("descriptors", raw);
    const Outcome r = run({"--device", device.string(), "descriptors"});
    EXPECT_EQ(r.exit, 0) << r.out << r.err;
    EXPECT_CONTAINS(r.out, "vendor 0x1234, product 0x5678");
    EXPECT_CONTAINS(r.out, "pipe 1: endpoint 0x81 IN  bulk, 64-byte packets");
    const Outcome broken = run({"--device", file("short", "\x12\x01").string(), "version"});
    EXPECT_EQ(broken.exit, 2) << broken.err;
}

TEST_F(ToolTest, DemoShowsTheDriverAtWorkAndEndsClean) {
    const Outcome r = run({"demo"});
    EXPECT_EQ(r.exit, 0) << r.out << r.err;
    for (const char* part : {"[debug] ", "interface path: \\??\\USB#VID_1209",
                             "configuration 1:", "every byte came back as it was sent",
                             "flags 0x0 len 0/0 ok", "firmware 2.1.0", "64-byte packets", "MB/s",
                             "wireshark ", "no leaked pool block, IRP or MDL"}) {
        EXPECT_CONTAINS(r.out, part);
    }
    EXPECT_TRUE(fs::exists(dir_ / "vavedu-demo.pcap"));
    EXPECT_CONTAINS(r.out, (dir_ / "vavedu-demo.pcap").string());
}

}  // namespace
