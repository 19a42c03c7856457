#include "tests/fuzz/hostile_descriptors.hpp"

#include "sim/usb/descriptors.hpp"

#include <algorithm>

namespace vavedu::fuzz::hostile_device {

namespace {

using sim::usb::ConfigurationBuilder;
using sim::usb::EndpointType;

uint16_t packetSize(Input& in) {
    static constexpr uint16_t kSizes[] = {0, 8, 16, 64, 512, 1024, 0x1A00};
    const uint8_t choice = in.u8() % 8;
    return choice < std::size(kSizes) ? kSizes[choice] : in.u16();
}

Bytes describedConfiguration(Input& in) {
    const uint8_t value = in.u8();
    const uint8_t attributes = in.u8();
    ConfigurationBuilder builder(value, attributes);
    const int interfaces = in.u8() % 5;
    for (int i = 0; i < interfaces; ++i) {
        const uint8_t number = in.u8();
        const uint8_t alternate = in.u8();
        builder.interface(number, alternate, in.u8());
        const int endpoints = in.u8() % 6;
        for (int e = 0; e < endpoints; ++e) {
            const uint8_t address = in.u8();
            const auto type = static_cast<EndpointType>(in.u8() % 4);
            builder.endpoint(address, type, packetSize(in));
        }
    }
    return builder.build();
}

void mutate(Bytes& bytes, Input& in) {
    const int mutations = in.u8() % 6;
    for (int m = 0; m < mutations; ++m) {
        const auto kind = static_cast<Mutation>(in.u8() % static_cast<uint8_t>(Mutation::kCount));
        const uint16_t where = in.u16();
        const uint8_t value = in.u8();
        switch (kind) {
            case Mutation::SetByte:
                if (!bytes.empty())
                    bytes[where % bytes.size()] = value;
                break;
            case Mutation::Truncate:
                bytes.resize(std::min<size_t>(bytes.size(), where));
                break;
            case Mutation::Append:
                for (int k = 0; k < value % 16; ++k)
                    bytes.push_back(static_cast<uint8_t>(value + k));
                break;
            case Mutation::SetTotalLength:
                if (bytes.size() >= 4) {
                    bytes[2] = static_cast<uint8_t>(where);
                    bytes[3] = static_cast<uint8_t>(where >> 8);
                }
                break;
            case Mutation::InsertShort: {
                const size_t at = bytes.empty() ? 0 : where % bytes.size();
                const Bytes inserted = {static_cast<uint8_t>(value % 2), value};
                bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(at), inserted.begin(),
                             inserted.end());
                break;
            }
            case Mutation::SetInterfaces:
            case Mutation::kCount:
                if (bytes.size() >= 5)
                    bytes[4] = value;
                break;
        }
    }
}

}  // namespace

Bytes configuration(Input& in) {
    static const sim::usb::InstrumentModel instrument;
    static const sim::usb::LoopbackModel loopback;
    Bytes bytes;
    switch (static_cast<ConfigTemplate>(in.u8() % static_cast<uint8_t>(ConfigTemplate::kCount))) {
        case ConfigTemplate::Instrument1:
            bytes = instrument.configurationDescriptor(0);
            break;
        case ConfigTemplate::Instrument2:
            bytes = instrument.configurationDescriptor(1);
            break;
        case ConfigTemplate::Loopback:
            bytes = loopback.configurationDescriptor(0);
            break;
        default:
            bytes = describedConfiguration(in);
            break;
    }
    mutate(bytes, in);
    return bytes;
}

}  // namespace vavedu::fuzz::hostile_device
