#include <cstdio>

int main() {
  std::puts("longdup " LONGDUP_VERSION ": not yet able to run");
  return 0;
}
