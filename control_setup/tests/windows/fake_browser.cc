// Built as iexplore.exe: a process the installer must take for the browser. Lives for the seconds given as its
// first argument (default 60), so a test that forgets it cannot leave it behind for long.
#include <chrono>
#include <cstdlib>
#include <thread>

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  return 0;
}
