// The main job end to end, as make demo runs it.
#include <gtest/gtest.h>

#include "tool_test_util.h"

using namespace tooltest;

TEST(Demo, EveryStepSucceedsAndTheOutputsAreWhereItSays) {
  TempDir dir;
  std::istringstream in;
  std::ostringstream out, err;
  int status = ostrolink::runTool({"--demo", "--machine", dir.path().string()}, in, out, err, false, false);
  std::string text = out.str();
  EXPECT_EQ(status, 0) << text << err.str();
  EXPECT_EQ(text.find("FAILED"), std::string::npos) << text;
  EXPECT_NE(text.find("every step did what it should"), std::string::npos) << text;
  // What it says it wrote is there: the printer's output is the sample document, the capture a pcap file.
  EXPECT_EQ(readFile(dir.path() / "printer-output.txt"), readFile(sourceFile("docs/sample-job.txt")));
  EXPECT_NE(text.find((dir.path() / "printer-output.txt").string()), std::string::npos);
  EXPECT_GT(readFile(dir.path() / "usb-capture.pcap").size(), 24u);
  // The machine it leaves behind is clean and can be opened again.
  ScriptRun again = runScript("check-clean\n", {"--machine", (dir.path() / "machine").string()});
  ASSERT_EQ(again.status, 0) << again.dump();
  EXPECT_TRUE(again.lines[0]["clean"].asBool()) << again.out;
}

TEST(Demo, RefusesJsonAndScripts) {
  std::istringstream in;
  std::ostringstream out, err;
  EXPECT_EQ(ostrolink::runTool({"--demo", "script.txt"}, in, out, err, false, false), 2);
  EXPECT_NE(err.str().find("--demo runs its own script"), std::string::npos);
}
