#include "platform/qt/master_app.h"

int main(int argc, char** argv)
{
    quarin::qt::CMasterApp app(argc, argv);
    return app.run();
}
