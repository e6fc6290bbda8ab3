# terminal-control.profile: the terminal control Vantorix drives on Windows.
#
# Put this file beside vantorix.exe and vantorixd.exe (the folder they were installed in). Without
# it they reach terminals with their own network control, as on Linux. With it, every terminal
# command goes through the COM control named below, and the programs check it when they start:
# the log says "Terminal control ... every operation found", or what is missing (the window shows
# that in an error box too).
#
# One setting per line, "name = value"; "#" starts a comment. The file is UTF-8.
#
# class: the control's ProgID, or its CLSID in braces, e.g. {01234567-89AB-CDEF-0123-456789ABCDEF}.
# This example names Vantorix's own test double, which only the tests register.
class = Vantorix.TestTerminal

# The control's method for each operation whose name it spells differently. Operations not
# listed use their own name:
#   SetCommPassword  ConnectNet     Disconnect       EnableDevice      ReadAllUserIDs
#   ReadAllTemplates GetAllUserInfo GetCardNumber    GetUserTemplate   SetCardNumber
#   SetUserInfo      SetUserTemplate DeleteEnrollData DeleteUserTemplate RefreshData
#   GetLastError
ConnectNet = OpenTerminal
Disconnect = CloseTerminal
GetUserTemplate = FetchTemplate
SetUserTemplate = StoreTemplate
