// cvht-xphost-stepped: our simulated X-Plane for Windows, run frame by frame on commands from standard
// input, so a test on the other side of a pipe (and of Wine) decides when each frame happens.
//   start | scan | frames N [DT] | head | set NAME VALUE | message | command NAME | stop | quit
// Each command's answer ends with "ok"; the plug-in's log lines come as "log <line>" when written. "scan" runs
// frames a quarter second apart, twenty at most, until the airport scan has written its line; "command" presses
// an X-Plane command once, as the pilot's key would.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>

#include "hosted_session.h"

int main(int argc, char **argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  std::string xpl = simxp::DefaultPluginPath(), systemPath;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--xpl") == 0) xpl = argv[i + 1];
    if (std::strcmp(argv[i], "--system-path") == 0) systemPath = argv[i + 1];
  }
  simxp::Session session;
  if (!session.Open(systemPath, {}, xpl)) {
    std::printf("error %s\n", session.Error().c_str());
    return 1;
  }
  simxp::EchoLog(true, "log ");
  simxp::Plugin &plugin = session.plugin();
  std::printf("loaded\n");
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream in(line);
    std::string cmd;
    in >> cmd;
    if (cmd == "start") {
      std::printf("started %d\n", session.Start());
      plugin.Enable();
    } else if (cmd == "scan") {
      session.AwaitScan(20, 250);
    } else if (cmd == "frames") {
      int n = 1;
      float dt = 1.0f / 60.0f;
      in >> n >> dt;
      for (int i = 0; i < n; ++i) simxp::RunFrame(dt);
    } else if (cmd == "head") {
      std::printf("head");
      for (const auto &name : simxp::kHeadRefs) std::printf(" %a", static_cast<double>(simxp::GetFloat(name)));
      std::printf("\n");
    } else if (cmd == "set") {
      std::string name;
      double value = 0.0;
      in >> name >> value;
      simxp::SetFloat(name, static_cast<float>(value));
      simxp::SetDouble(name, value);
    } else if (cmd == "command") {
      std::string name;
      in >> name;
      if (!simxp::CommandOnce(name)) std::printf("no such command\n");
    } else if (cmd == "message") {
      plugin.Message(0, 102, nullptr);
    } else if (cmd == "stop") {
      plugin.Disable();
      session.Stop();
    } else if (cmd == "quit") {
      break;
    }
    std::printf("ok\n");
  }
  const bool gone = session.Close();
  for (const auto &f : simxp::Faults()) std::printf("fault %s\n", f.c_str());
  std::printf("unloaded %s\n", gone ? "yes" : "no");
  return 0;
}
