// The instrument's descriptors in words and as JSON, as `descriptors`, `select-interface` and the
// demo show them.
#pragma once

#include "client/descriptors.hpp"
#include "tools/vavedu/json.hpp"

#include <string>
#include <vector>

namespace vavedu::tool {

std::vector<std::string> describeDescriptors(const DescriptorSet& set, bool raw);
JsonObject descriptorsJson(const DescriptorSet& set, bool raw);
// "endpoint 0x81 IN  bulk, 512-byte packets"
std::string describeEndpoint(const EndpointDescriptor& e);
// An endpoint as the pipe `pipe` of its interface.
JsonObject endpointJson(const EndpointDescriptor& e, size_t pipe);

}  // namespace vavedu::tool
