#pragma once
// Help topics: pages in the help folder of the program folder, shown in the
// program's help window.

// Opens programDir + "help/" + topic; a null topic opens the contents page
// (index.htm). A page that cannot be opened shows nothing.
void ShowHelpTopic(const char* topic);
