@echo off
rem The quillmar test kit: runs every scenario it holds on this machine, from an
rem elevated prompt. TAP on standard output; junit.xml and failed\<id>\ beside it.
setlocal
"%~dp0qmkit.exe" run %*
exit /b %ERRORLEVEL%
