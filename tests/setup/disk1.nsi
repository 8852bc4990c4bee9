; A silent self-extractor that unpacks the folder SOURCE_DIR into Disk1 beside
; itself, as the embedded executable of a shipped package does.
; makensis -DSOURCE_DIR=<folder> -DOUT_FILE=<exe> disk1.nsi
Unicode true
SilentInstall silent
RequestExecutionLevel user
CRCCheck on
Name "HarwUpdater test installation"
OutFile "${OUT_FILE}"

Section
  SetOutPath "$EXEDIR\Disk1"
  File /r "${SOURCE_DIR}\*"
SectionEnd
