// Does nothing: Wine's start-up and exit, for subtracting from a portkick.exe run.
int main() { return 0; }
