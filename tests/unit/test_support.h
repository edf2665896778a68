// Helpers shared by the tests: scratch folders, whole-file reads, and an engine
// whose player is a set of plain fields.
#pragma once

#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "engine/playtally.h"

// A fresh folder under the system's temporary folder, removed afterwards.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return m_path; }
    // The folder as the engine gets it: a text, without a trailing separator.
    std::string str() const { return m_path.string(); }
    // A file in the folder.
    std::filesystem::path file(const std::string& name) const { return m_path / name; }

  private:
    std::filesystem::path m_path;
};

std::string ReadFileBytes(const std::filesystem::path& path);
void WriteFileBytes(const std::filesystem::path& path, const std::string& bytes);
bool Contains(const std::string& haystack, const std::string& needle);

// One text line of the debug log: who wrote it and what.
struct LogEntry {
    std::string module;
    std::string message;
};
// The text lines of a log, in order.
std::vector<LogEntry> LogEntries(const std::string& log);

class TestPlaytally : public CPlaytally {
  public:
    // The play history goes to a folder of its own, never the user's.
    TestPlaytally() { m_history.SetFolder(historyDir.str() + "\\"); }
    // The threads call back into this class: they end before it goes.
    ~TestPlaytally() override { Shutdown(); }

    // Changes one setting, as the settings window changes them: in one step.
    template <class T, class V>
    void Set(T Settings::*field, V value) {
        Settings settings = GetSettings();
        settings.*field = value;
        ApplySettings(settings);
    }

    // The player's track: what GetSongInfo reports while songFound is set.
    void SetSong(const std::string& artist, const std::string& title, const std::string& album) {
        SetSongField(song.artist, artist);
        SetSongField(song.title, title);
        SetSongField(song.album, album);
        songFound = 1;
    }

    TempDir historyDir;
    std::string registryKey = "Software\\Kelmar\\Test Plugin\\";
    std::string currentFile;
    std::string albumArtist;  // the "albumartist" metadata
    int trackLength = 0;
    std::atomic<int> playing{0};
    std::atomic<int> paused{0};
    SongInfo song;
    int songFound = 0;
    std::mutex streamTitleLock;
    std::string streamTitle;

    std::string GetPluginName() override { return "Kelmar for Winamp"; }
    std::string GetClientId() override { return "wmp"; }
    std::string GetRegistryKey() override { return registryKey; }
    std::string GetPlayerVersion() override { return "Winamp Version 5.0"; }
    int IsPlaying() override { return playing; }
    int IsPaused() override { return paused; }
    std::string GetCurrentFile() override { return currentFile; }
    int GetTrackLength() override { return trackLength; }
    std::string GetSongMetadata(const std::string& field) override {
        return field == "albumartist" ? albumArtist : std::string();
    }
    std::string GetStreamTitle() override {
        std::lock_guard<std::mutex> guard(streamTitleLock);
        return streamTitle;
    }
    void SetStreamTitle(const std::string& title) {
        std::lock_guard<std::mutex> guard(streamTitleLock);
        streamTitle = title;
    }
    int GetSongInfo(SongInfo* info) override {
        if (songFound) *info = song;
        return songFound;
    }
    WindowHandle GetPlayerWindow() override { return nullptr; }
};
