// Links the engine and nothing else, so that the libraries it needs at run time show what
// the engine's code uses. The calls pull in the code of a whole transfer (the loaders, the
// scans, the copies and the checks); the test only inspects the program, never runs it.
#include "engine/transferrun.h"

int main(int argc, char **argv)
{
    if (argc < 2)
        return 0;
    engine::Session session;
    engine::Progress progress;
    engine::LoadListener listener;
    engine::loadWorld(session, QString::fromLocal8Bit(argv[1]), true, progress, listener);
    engine::TransferSteps steps(progress);
    return int(engine::runTransfer(session, {}, steps, true).result);
}
