// Up to 128 cables in one session, printing at once from their own threads; the 129th is refused by the driver.
#include <gtest/gtest.h>

#include "tool_test_util.h"

using namespace tooltest;

TEST(ManyCables, OneHundredTwentyEightCablesThenTheDriverRefuses) {
  TempDir dir;
  std::string script;
  for (int i = 1; i <= 129; ++i) script += "plug --capture " + dir / ("p" + std::to_string(i)) + "\n";
  const std::vector<int> printing = {1, 2, 63, 126, 127, 128};  // both host controllers' buses
  std::string ports;
  for (int p : printing) ports += (ports.empty() ? "KVUSB" : ",KVUSB") + std::to_string(p);
  std::string job = sourceFile("docs/sample-job.txt");
  script += "print " + ports + " " + job + "\n";
  script += "devices\n";
  ScriptRun r = runScript(script);
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(r.lines.size(), 131u);
  for (int i = 1; i <= 128; ++i) {
    const Json& p = r.lines[static_cast<size_t>(i - 1)];
    ASSERT_EQ(p["status"].asString(), "0x00000000") << "cable " << i;
    ASSERT_EQ(p["port_name"].asString(), "KVUSB" + std::to_string(i));
    ASSERT_TRUE(p["child"].isObject()) << "cable " << i;
  }
  const Json& refused = r.lines[128];
  EXPECT_EQ(refused["status"].asString(), "0xC0000035") << "no free port number: STATUS_OBJECT_NAME_COLLISION";
  EXPECT_TRUE(refused["port_name"].isNull());
  EXPECT_TRUE(refused["dos_name"].isNull());

  const Json& print = r.lines[129];
  ASSERT_EQ(print["jobs"].size(), printing.size()) << r.lines[129].dump();
  std::string content = readFile(job);
  for (size_t i = 0; i < printing.size(); ++i) {
    const Json& j = print["jobs"][i];
    EXPECT_FALSE(j["failed"].asBool()) << j.dump();
    EXPECT_EQ(j["bytes"].asUint(), content.size()) << j.dump();
    EXPECT_EQ(readFile(dir.path() / ("p" + std::to_string(printing[i]))), content)
        << "printer of cable " << printing[i] << " received its job intact";
  }
  // The jobs ran at once: together they took less than one after the other would.
  double sum = 0;
  for (const auto& j : print["jobs"].asArray()) sum += j["virtual_seconds"].asDouble();
  EXPECT_LT(print["virtual_seconds"].asDouble(), sum);
  // The refused cable is in the tree as a failed devnode; the others started.
  const Json& tree = r.lines[130]["devices"];
  size_t started = 0;
  for (const auto& d : tree.asArray())
    if (d["state"].asString() == "started") ++started;
  EXPECT_EQ(started, 128u);
}
