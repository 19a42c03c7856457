// The one place the tool's platform difference is decided. On Linux the tool talks to the model,
// which it sets up itself: it has the model's options (--device, --registry, --capture, --trace,
// --log), the demo and the script steps that change the machine (plug, unplug, surprise-remove,
// stop, start, stall, fault). On Windows it talks to the instrument as it is plugged in, through
// the installed driver, and has none of these.
#pragma once

namespace vavedu::tool {

#ifdef _WIN32
inline constexpr bool kToolRunsOnModel = false;
#else
inline constexpr bool kToolRunsOnModel = true;
#endif

}  // namespace vavedu::tool
