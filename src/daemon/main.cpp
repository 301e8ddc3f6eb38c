// Entry of vexa-daemon; the start-up logic lives in daemon_main.cpp.
int DaemonMain(int argc, char** argv);

int main(int argc, char** argv) {
    return DaemonMain(argc, argv);
}
