// An empty process: the yardstick of a toggle.
int main() {
  return 1;
}
