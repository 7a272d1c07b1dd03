@echo off
rem The quillmar test kit: runs every scenario it holds on this machine.
rem Run it from an elevated prompt. TAP on standard output; junit.xml and,
rem for each failed scenario, failed\<id>\ beside this file. See README.txt.
setlocal
"%~dp0qmkit.exe" run %*
exit /b %ERRORLEVEL%
