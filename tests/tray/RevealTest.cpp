// Showing the mounted volume: the URI the file manager gets, and the fallback to opening
// the parent folder when no file manager answers.
#include <gtest/gtest.h>

#include <vector>

#include "Reveal.h"

namespace {

using namespace Lyrebox::Tray;

TEST(Reveal, FileUriAndParentFolder) {
  const std::pair<std::string, std::string> uris[] = {
      {"/home/ann/Lyrebox", "file:///home/ann/Lyrebox"},
      {"/home/ann/Lyrebox 12", "file:///home/ann/Lyrebox%2012"},
      {"/home/ann/M\xc3\xbcsik#1?", "file:///home/ann/M%C3%BCsik%231%3F"},
      {"relative/Lyrebox", ""},
  };
  for (const auto& [path, uri] : uris) EXPECT_EQ(FileUri(path), uri) << path;
  const std::pair<std::string, std::string> parents[] = {
      {"/home/ann/Lyrebox/", "/home/ann"}, {"/home//ann", "/home"}, {"/Lyrebox", "/"}, {"/", "/"}, {"Lyrebox", "."},
  };
  for (const auto& [path, parent] : parents) EXPECT_EQ(ParentFolder(path), parent) << path;
}

TEST(Reveal, OpensTheParentFolderOnlyWhenNoFileManagerAnswers) {
  for (bool answers : {true, false}) {
    for (bool answerLater : {false, true}) {
      SCOPED_TRACE(std::string(answers ? "answers" : "no answer") + (answerLater ? ", later" : ""));
      std::vector<std::string> shown, opened;
      std::function<void(bool)> pending;
      RevealActions desktop = {[&](const std::string& uri, std::function<void(bool)> done) {
                                 shown.push_back(uri);
                                 if (answerLater) pending = std::move(done);
                                 else done(answers);
                               },
                               [&](const std::string& folder) { opened.push_back(folder); }};
      RevealInFileViewer("/home/ann/Lyrebox 1", desktop);
      EXPECT_EQ(shown, std::vector<std::string>{"file:///home/ann/Lyrebox%201"});
      if (answerLater) {
        EXPECT_TRUE(opened.empty());
        pending(answers);
      }
      EXPECT_EQ(opened, answers ? std::vector<std::string>{} : std::vector<std::string>{"/home/ann"});
    }
  }
}

}  // namespace
