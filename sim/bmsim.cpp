// placeholder until bmsim lands
int main() { return 1; }
