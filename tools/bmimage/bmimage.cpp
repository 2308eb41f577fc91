// placeholder until the image tool lands
int main() { return 1; }
