// The program's start and finish around the application loop.
#include "console/Program.h"

#include <QApplication>

#include "console/Screen.h"
#include "console/Unit1.h"
#include "console/Unit2.h"
#include "platform/framework/Application.h"

void ProgramStart() {
    LoadScreenCursors();
    Application()->SetTitle("ANT Zelto");
    QApplication::setApplicationName("ANT Zelto");
    Form1 = new TForm1();
    Form1->EndsProgramOnClose = true;
    Form2 = new TForm2(Form1);
    Form1->LifetimeForm = Form2;
    Form1->show();
}

void ProgramFinish() {
    delete Form2;
    delete Form1;
}
