#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

typedef struct sf_private_tag SNDFILE;

namespace velunto {

// Keeps what a simulated output plays: the newest maxFrames in memory, or everything in a WAV file
// (32-bit float). The file is written by a thread of its own, so that a slow disk never holds up the
// device's I/O cycle; everything appended is in the file once the recorder is gone.
class SimulatedRecorder {
public:
    static std::unique_ptr<SimulatedRecorder> memory(std::size_t maxFrames, std::uint32_t channels);
    // Null if the file cannot be created.
    static std::unique_ptr<SimulatedRecorder> wav(const std::string& path, std::uint32_t channels, double sampleRate);
    ~SimulatedRecorder();
    SimulatedRecorder(const SimulatedRecorder&) = delete;
    SimulatedRecorder& operator=(const SimulatedRecorder&) = delete;

    void append(const float* interleaved, std::uint32_t frames);
    // The memory recording in playing order (empty for a WAV recording).
    std::vector<float> samples() const;

private:
    SimulatedRecorder(std::uint32_t channels, std::size_t maxFrames, SNDFILE* file);
    void writeFile();

    std::uint32_t channels_;
    std::size_t maxFrames_;
    std::vector<float> ring_;
    std::size_t written_ = 0;  // frames appended so far
    SNDFILE* file_;
    // For a WAV recording: samples waiting for the writer thread.
    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<float> pending_;
    bool closing_ = false;
    std::thread writer_;
};

}  // namespace velunto
