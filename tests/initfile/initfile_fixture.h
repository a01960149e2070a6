// The fixture of the initialisation file tests: initialised tables, a temporary current
// directory to hold the file, and a transcript of the log with the tones in between.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "initfile/initfile.h"
#include "support/driver_test.h"
#include "support/temporary_directory.h"

// The transcript's mark for the tick that follows a complaint (880 Hz, 20 ms).
inline const std::string kTick = "<tick>";

// Turns LF line ends into CR LF.
inline std::string WithCrLf(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

class InitFileTest : public DriverTest {
  protected:
    void SetUp() override {
        DriverTest::SetUp();
        ASSERT_EQ(InitTables(), 0);
        {
            std::lock_guard<std::mutex> guard(ToneLock());
            Tones().clear();
        }
        platform::SetToneObserver(RecordTone);
        original_ = std::filesystem::current_path();
        dir_ = TemporaryDirectory("korva_initfile_");
        std::filesystem::current_path(dir_);
    }

    void TearDown() override {
        std::filesystem::current_path(original_);
        std::filesystem::remove_all(dir_);
        DriverTest::TearDown();
    }

    // Writes `bytes` as file `name` into the current (temporary) directory.
    static void Write(const std::string& name, std::string_view bytes) {
        std::ofstream out(name, std::ios::binary);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }

    static std::string Fixture(const std::string& name) {
        std::ifstream in(std::string(KORVA_FIXTURES_DIR) + "/initfile/" + name, std::ios::binary);
        EXPECT_TRUE(in.good()) << name;
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    // Copies a fixture into the current directory as KORVA03.INT, with CR LF line ends if asked.
    static void WriteFixture(const std::string& name, bool crlf = false) {
        const std::string text = Fixture(name);
        Write("KORVA03.INT", crlf ? WithCrLf(text) : text);
    }

    static void Read(uint32_t vpi = 3) {
        KorvaRequest request{};
        request.function = KORVA_FN_COLD_START;
        request.vpi = vpi;
        ReadInitFile(&request);
    }

    // The logged texts in order, each followed by the tones sounded right after it. Every
    // message of the reader is logged at level 32.
    static std::vector<std::string> Transcript() {
        std::vector<Tone> tones;
        {
            std::lock_guard<std::mutex> guard(ToneLock());
            tones = Tones();
        }
        std::vector<std::string> out;
        const std::vector<LogLine> log = CapturedLog();
        auto addTones = [&](size_t logged) {
            for (const Tone& tone : tones) {
                if (tone.logged != logged) continue;
                if (tone.hz == 880 && tone.ms == 20)
                    out.push_back(kTick);
                else
                    out.push_back("<tone " + std::to_string(tone.hz) + " " +
                                  std::to_string(tone.ms) + ">");
            }
        };
        addTones(0);
        for (size_t i = 0; i < log.size(); ++i) {
            EXPECT_EQ(log[i].level, kLog) << log[i].text;
            out.push_back(log[i].text);
            addTones(i + 1);
        }
        return out;
    }

  private:
    struct Tone {
        uint32_t hz;
        uint32_t ms;
        size_t logged;  // log lines captured when it sounded
    };
    static std::mutex& ToneLock() {
        static std::mutex lock;
        return lock;
    }
    static std::vector<Tone>& Tones() {
        static std::vector<Tone> tones;
        return tones;
    }
    static void RecordTone(uint32_t hz, uint32_t ms) {
        const size_t logged = ZunHostLogCount();
        std::lock_guard<std::mutex> guard(ToneLock());
        Tones().push_back({hz, ms, logged});
    }

    std::filesystem::path original_;
    std::filesystem::path dir_;
};

// The same fixture run once with LF and once with CR LF line ends: both must read alike.
class InitFileGroupTest : public InitFileTest, public ::testing::WithParamInterface<bool> {
  protected:
    static void ReadFixture(const std::string& name) {
        WriteFixture(name, GetParam());
        Read();
    }
};

inline std::string LineEndName(const ::testing::TestParamInfo<bool>& info) {
    return info.param ? "CrLf" : "Lf";
}
