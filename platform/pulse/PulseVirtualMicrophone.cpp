#include "platform/pulse/PulseVirtualMicrophone.h"

#include <pulse/context.h>
#include <pulse/introspect.h>

#include "platform/oslog/Logger.h"
#include "platform/pulse/PulseAudioHardware.h"
#include "platform/pulse/PulseMainLoop.h"

namespace velunto {

namespace {

const Logger& log() {
    static const Logger logger("app.velunto", "PulseAudio");
    return logger;
}

struct Lookup {
    PulseMainLoop* loop;
    bool found = false;
    std::uint32_t module = PA_INVALID_INDEX;
};

void sinkFound(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
    auto* lookup = static_cast<Lookup*>(userdata);
    if (eol == 0 && info != nullptr)
        lookup->found = true;
    lookup->loop->signal();
}

void sourceFound(pa_context*, const pa_source_info* info, int eol, void* userdata) {
    auto* lookup = static_cast<Lookup*>(userdata);
    if (eol == 0 && info != nullptr)
        lookup->found = true;
    lookup->loop->signal();
}

void moduleLoaded(pa_context*, std::uint32_t index, void* userdata) {
    auto* lookup = static_cast<Lookup*>(userdata);
    lookup->module = index;
    lookup->loop->signal();
}

void unloaded(pa_context*, int, void* userdata) {
    static_cast<PulseMainLoop*>(userdata)->signal();
}

}  // namespace

std::string PulseVirtualMicrophone::quoted(const std::string& value) {
    // Inside a proplist value the server unquotes once for the module arguments and once more for the
    // property list, so quotes and backslashes are escaped twice.
    std::string result = "\"";
    for (char c : value) {
        if (c == '"' || c == '\\' || c == '\'')
            result += "\\\\\\";
        result += c;
    }
    return result + "\"";
}

std::unique_ptr<PulseVirtualMicrophone> PulseVirtualMicrophone::install(PulseAudioHardware& hardware,
                                                                        const Names& names,
                                                                        std::chrono::milliseconds timeout,
                                                                        std::string* error) {
    std::unique_ptr<PulseVirtualMicrophone> microphone(new PulseVirtualMicrophone(hardware, names));
    if (!microphone->ensure(error))
        return nullptr;  // the destructor unloads what was loaded
    if (!hardware.waitForDevice(names.feedUID, timeout) || !hardware.waitForDevice(names.microphoneUID, timeout)) {
        if (error != nullptr)
            *error = "the devices did not appear in time";
        return nullptr;
    }
    return microphone;
}

bool PulseVirtualMicrophone::reinstall(std::string* error) {
    modules_.clear();
    return ensure(error);
}

bool PulseVirtualMicrophone::ensure(std::string* error) {
    PulseMainLoop& loop = hardware_.loop();
    const std::string format = " rate=" + std::to_string(names_.rate) + " channels=" + std::to_string(names_.channels);
    const std::string feedArguments = "sink_name=" + names_.feedUID + format +
                                      " sink_properties='device.description=" + quoted(names_.feedDescription) +
                                      " velunto.hidden=1'";
    const std::string microphoneArguments =
        "master=" + names_.feedUID + ".monitor source_name=" + names_.microphoneUID + format +
        " source_properties='device.description=" + quoted(names_.microphoneDescription) + "'";
    PulseMainLoop::Lock lock(loop);
    const auto ensureOne = [&](bool isSink, const std::string& uid, const char* module,
                               const std::string& arguments) -> bool {
        Lookup lookup{&loop};
        pa_operation* query =
            isSink ? pa_context_get_sink_info_by_name(loop.context(), uid.c_str(), &sinkFound, &lookup)
                   : pa_context_get_source_info_by_name(loop.context(), uid.c_str(), &sourceFound, &lookup);
        loop.wait(query);
        if (lookup.found) {
            log().notice("%{public}s ist schon da und wird benutzt.", uid);
            return true;
        }
        loop.wait(pa_context_load_module(loop.context(), module, arguments.c_str(), &moduleLoaded, &lookup));
        if (lookup.module == PA_INVALID_INDEX) {
            if (error != nullptr)
                *error = std::string(module) + " " + arguments + " refused";
            log().error("Tonserver lehnt %{public}s ab: %{public}s", module, arguments);
            return false;
        }
        modules_.push_back(lookup.module);
        log().notice("%{public}s angelegt (Modul %ld).", uid, static_cast<long>(lookup.module));
        return true;
    };
    return ensureOne(true, names_.feedUID, "module-null-sink", feedArguments) &&
           ensureOne(false, names_.microphoneUID, "module-remap-source", microphoneArguments);
}

PulseVirtualMicrophone::~PulseVirtualMicrophone() {
    PulseMainLoop& loop = hardware_.loop();
    PulseMainLoop::Lock lock(loop);
    // The microphone first: it records from the feed's monitor.
    for (auto module = modules_.rbegin(); module != modules_.rend(); ++module)
        loop.wait(pa_context_unload_module(loop.context(), *module, &unloaded, &loop));
}

}  // namespace velunto
