// Showing the mounted volume: the URI the file manager gets, and the fallback to opening
// the parent folder when no file manager answers.
#include <gtest/gtest.h>

#include <vector>

#include "Reveal.h"

namespace {

using namespace Lyrebox::Tray;

TEST(Reveal, FileUriEscapesWhatAUriCannotHold) {
  const std::vector<std::pair<std::string, std::string>> table = {
      {"/home/ann/Lyrebox", "file:///home/ann/Lyrebox"},
      {"/home/ann/Lyrebox 12", "file:///home/ann/Lyrebox%2012"},
      {"/home/ann/M\xc3\xbcsik#1?", "file:///home/ann/M%C3%BCsik%231%3F"},
      {"relative/Lyrebox", ""},
  };
  for (const auto& [path, uri] : table) EXPECT_EQ(FileUri(path), uri) << path;
}

TEST(Reveal, ParentFolder) {
  const std::vector<std::pair<std::string, std::string>> table = {
      {"/home/ann/Lyrebox 1", "/home/ann"},
      {"/home/ann/Lyrebox/", "/home/ann"},
      {"/home//ann", "/home"},
      {"/Lyrebox", "/"},
      {"/", "/"},
      {"Lyrebox", "."},
  };
  for (const auto& [path, parent] : table) EXPECT_EQ(ParentFolder(path), parent) << path;
}

struct Desktop {
  bool answers;
  bool answerLater;
  std::vector<std::string> shown;
  std::vector<std::string> opened;
  std::function<void(bool)> pending;

  RevealActions Actions() {
    return {[this](const std::string& uri, std::function<void(bool)> done) {
              shown.push_back(uri);
              if (answerLater) {
                pending = std::move(done);
              } else {
                done(answers);
              }
            },
            [this](const std::string& folder) { opened.push_back(folder); }};
  }
};

TEST(Reveal, OpensTheParentFolderOnlyWhenNoFileManagerAnswers) {
  struct Row {
    const char* name;
    bool answers, answerLater;
    std::vector<std::string> opened;
  };
  const std::vector<Row> table = {
      {"file manager answers", true, false, {}},
      {"nobody answers", false, false, {"/home/ann"}},
      {"answer arrives later", true, true, {}},
      {"failure arrives later", false, true, {"/home/ann"}},
  };
  for (const Row& row : table) {
    SCOPED_TRACE(row.name);
    Desktop desktop{row.answers, row.answerLater, {}, {}, {}};
    RevealInFileViewer("/home/ann/Lyrebox 1", desktop.Actions());
    EXPECT_EQ(desktop.shown, std::vector<std::string>{"file:///home/ann/Lyrebox%201"});
    if (row.answerLater) {
      EXPECT_TRUE(desktop.opened.empty());
      desktop.pending(row.answers);
    }
    EXPECT_EQ(desktop.opened, row.opened);
  }
}

}  // namespace
