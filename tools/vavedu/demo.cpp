// `vavedu demo`: one session on the model that shows, step by step, what the driver does for the
// instrument, and ends with the model's verdict on what the driver left behind.
#include "tools/vavedu/tool.hpp"

#include "sim/usb/trace.hpp"
#include "tools/vavedu/plot.hpp"

#include <chrono>
#include <cstdio>

namespace vavedu::tool {

namespace {

constexpr uint64_t kLoopbackBytes = uint64_t{1} << 20;
constexpr uint64_t kStreamBytes = 2048;  // 1024 samples: four periods of the waveform

class Demo {
  public:
    Demo(const GlobalOptions& options, std::ostream& out, bool terminal)
        : options_(options),
          out_(out),
          terminal_(terminal && !options.json),
          reporter_(out, options.json) {}

    int run(std::ostream& err);

  private:
    void heading(int number, const std::string& title);
    void say(const std::string& text);
    StepResult step(Executor& executor, const Step& step);
    void showTrace(size_t from, uint8_t endpoint);
    void loadAndPlug(Session& session);
    void loopback(Executor& executor, Session& session);
    void zeroLengthPacket(Executor& executor, Session& session);
    void stream(Executor& executor);
    void verdict(Session& session);

    GlobalOptions options_;
    std::ostream& out_;
    bool terminal_;
    Reporter reporter_;
    Session* session_ = nullptr;
    int failures_ = 0;
};

void Demo::heading(int number, const std::string& title) {
    if (options_.json)
        return;
    out_ << "\n" << number << ". " << title << "\n";
}

void Demo::say(const std::string& text) {
    if (!options_.json)
        out_ << "   " << text << "\n";
}

StepResult Demo::step(Executor& executor, const Step& s) {
    StepResult r = executor.run(s);
    if (!r.ok())
        ++failures_;
    reporter_.print(r);
    return r;
}

// The URB trace lines of one endpoint since record `from`: what went on the bus.
void Demo::showTrace(size_t from, uint8_t endpoint) {
    const std::vector<sim::usb::TraceRecord> records = session_->traceRecords();
    for (size_t i = from; i < records.size(); ++i) {
        if (records[i].endpoint == endpoint && records[i].kind == sim::usb::TransferKind::Bulk) {
            say("bus: " + sim::usb::describe(records[i]));
        }
    }
}

void Demo::loadAndPlug(Session& session) {
    heading(1, "The driver loads");
    say("The model of the machine loads libVaVedu.so (VaVedu.SYS built for the model) and calls");
    say("its DriverEntry. What the driver printed with DbgPrint:");
    for (const std::string& line : session.debugOutput())
        say("  [debug] " + line);

    heading(2, "The instrument appears");
    say("The USB bus of the model attaches the instrument; Plug and Play calls AddDevice and");
    say("starts the device: the driver reads the descriptors and selects configuration 1.");
    const std::vector<std::string> paths = session.platform().interfacePaths();
    for (const std::string& path : paths)
        say("interface path: " + path);
    if (paths.empty()) {
        say("no instrument appeared");
        ++failures_;
    }
}

void Demo::loopback(Executor& executor, Session& session) {
    heading(4, "A loopback of 1 MiB, verified byte for byte");
    say("Written to pipe 0 (endpoint 0x01), read back from pipe 1 (endpoint 0x81). The driver");
    say("moves each request in chunks of at most MaximumTransferSize (16 KiB unless the");
    say("registry says otherwise), each chunk one bulk URB on the bus.");
    StepResult r{"loopback"};
    Device out, in;
    if (!executor.openInstrument(pipeName(0), out, r) ||
        !executor.openInstrument(pipeName(1), in, r)) {
        ++failures_;
        reporter_.print(r);
        return;
    }
    const Bytes pattern = testPattern(kLoopbackBytes);
    const uint64_t chunks = session.bulkTransfers();
    const auto started = std::chrono::steady_clock::now();
    const Completion written = out.write(pattern);
    AsyncTransfer reading = in.readAsync(kLoopbackBytes);
    Completion read = reading.waitFor(std::chrono::seconds(20)).value_or(Completion{});
    if (!reading.completed()) {
        reading.cancel();
        read = reading.wait();
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const bool same = read.ok() && reading.data() == pattern;
    r.status = !written.ok() ? written.status : read.status;
    r.information = read.information;
    r.failed = !same;
    char line[160];
    std::snprintf(line, sizeof line,
                  "wrote %llu bytes, read %llu bytes in %.3f s; %llu bulk chunks",
                  static_cast<unsigned long long>(written.information),
                  static_cast<unsigned long long>(read.information), seconds,
                  static_cast<unsigned long long>(session.bulkTransfers() - chunks));
    r.lines.push_back(line);
    r.lines.push_back(same ? "every byte came back as it was sent" : "THE DATA DIFFERS");
    r.data.add("written", written.information).add("verified", same);
    if (!r.ok())
        ++failures_;
    reporter_.print(r);
}

void Demo::zeroLengthPacket(Executor& executor, Session& session) {
    heading(5, "A write that ends in a zero-length packet");
    say("With zero-length packets on, a write that is a whole number of packets (512 bytes)");
    say("is followed by an empty packet, so the instrument knows the transfer ended:");
    Step zlp{"zlp"};
    zlp.zlp = "on";
    step(executor, zlp);
    const size_t from = session.traceRecords().size();
    Step write{"write"};
    write.pipe = 0;
    write.bytes = 512;
    step(executor, write);
    showTrace(from, 0x01);
    say("The first URB carried the 512 bytes; the second, of length 0, is the zero-length packet.");
    Step drain{"read"};
    drain.pipe = 1;
    drain.bytes = 512;
    drain.timeoutMs = 2000;
    const StepResult r = executor.run(drain);  // take the loopback's copy back
    if (!r.ok())
        ++failures_;
    zlp.zlp = "off";
    step(executor, zlp);
}

void Demo::stream(Executor& executor) {
    heading(8, "The measurement stream of interface 1");
    say("1024 samples (16-bit) read from pipe 1 of interface 1 (endpoint 0x86):");
    StepResult r{"read"};
    Device d;
    if (!executor.openInstrument(pipeName(1, 1), d, r)) {
        ++failures_;
        reporter_.print(r);
        return;
    }
    AsyncTransfer reading = d.readAsync(kStreamBytes);
    std::optional<Completion> done = reading.waitFor(std::chrono::seconds(5));
    if (!done) {
        reading.cancel();
        done = reading.wait();
    }
    r.status = done->status;
    r.information = done->information;
    const Bytes data(reading.data().begin(),
                     reading.data().begin() + static_cast<std::ptrdiff_t>(std::min<uint64_t>(
                                                  done->information, kStreamBytes)));
    const std::vector<int16_t> samples = samplesFromBytes(data);
    r.data.add("samples", static_cast<uint64_t>(samples.size())).add("data", toHex(data));
    if (!r.ok())
        ++failures_;
    reporter_.print(r);
    for (const std::string& line : plotWaveform(samples, 64, 12))
        say(line);
}

}  // namespace

int Demo::run(std::ostream& err) {
    if (!options_.capture)
        options_.capture = "vavedu-demo.pcap";
    if (!options_.json) {
        out_ << "VaVedu demo: the VaVedu USB driver on a model of a Windows machine, driving the\n"
                "measurement instrument (a model of it on the model's USB bus). Every line below\n"
                "is what the driver did or what the instrument answered.\n";
    }
    std::ostream& echo = options_.json ? err : out_;
    Session session(options_, echo);
    session_ = &session;
    if (!succeeded(session.driverLoadStatus())) {
        StepResult load{"load"};
        load.status = session.driverLoadStatus();
        load.note = "DriverEntry failed";
        reporter_.print(load);
        session.finish();
        return kExitFailed;
    }
    Executor executor(session, out_, terminal_);
    loadAndPlug(session);

    heading(3, "Its descriptors, decoded");
    step(executor, Step{"descriptors"});

    loopback(executor, session);
    zeroLengthPacket(executor, session);

    heading(6, "A vendor control transfer: the firmware version");
    say("Setup packet C0 01 0000 0000 0040: vendor request 1, device to host, up to 64 bytes.");
    Step control{"control"};
    control.setup = makeSetupPacket(0xC0, 0x01, 0, 0, 64);
    step(executor, control);

    heading(7, "An alternate setting: interface 0 with 64-byte packets");
    Step alternate{"select-interface"};
    alternate.first = 0;
    alternate.second = 1;
    step(executor, alternate);
    alternate.second = 0;
    say("and back to alternate setting 0:");
    step(executor, alternate);

    stream(executor);

    heading(9, "Throughput");
    Step bench{"bench"};
    bench.bytes = kLoopbackBytes;
    bench.iterations = 8;
    step(executor, bench);

    verdict(session);
    return failures_ > 0 ? kExitFailed : kExitOk;
}

void Demo::verdict(Session& session) {
    const std::optional<std::filesystem::path> capture = session.capturePath();
    const Verdict v = session.finish();
    heading(10, "The capture of the whole session");
    if (capture) {
        say("Every URB of the session, in USBPcap format: " + capture->string());
        say("Open it with:  wireshark " + capture->string());
        say("or:            tshark -r " + capture->string() + " -o usb.try_heuristics:FALSE");
    }
    heading(11, "The model's verdict");
    say("The instrument was removed and the driver unloaded. During the session kernel code");
    say("allocated " + std::to_string(v.poolBlocks) + " pool blocks, " + std::to_string(v.irps) +
        " IRPs and " + std::to_string(v.mdls) +
        " MDLs; still allocated now: " + std::to_string(v.poolLeft) + ", " +
        std::to_string(v.irpsLeft) + " and " + std::to_string(v.mdlsLeft) + ".");
    StepResult r{"verdict"};
    r.data.add("pool_blocks", v.poolBlocks)
        .add("irps", v.irps)
        .add("mdls", v.mdls)
        .add("pool_left", v.poolLeft)
        .add("irps_left", v.irpsLeft)
        .add("mdls_left", v.mdlsLeft);
    if (capture)
        r.data.add("capture", capture->string());
    if (v.clean()) {
        r.note = "clean: no leaked pool block, IRP or MDL, no lock held, no bug check";
    } else {
        r.failed = true;
        r.note = "NOT CLEAN";
        r.lines.push_back(v.findings);
        ++failures_;
    }
    reporter_.print(r);
}

int runDemo(const GlobalOptions& options, std::ostream& out, std::ostream& err, bool terminal) {
    try {
        Demo demo(options, out, terminal);
        return demo.run(err);
    } catch (const UsageError& e) {
        err << "vavedu: " << e.what() << "\n";
        return kExitUsage;
    } catch (const std::exception& e) {
        err << "vavedu demo: " << e.what() << "\n";
        return kExitFailed;
    }
}

}  // namespace vavedu::tool
