# What the service must be, as the tests expect it: written apart from service/contract.h on
# purpose, so that a wrong edit of either fails at the check that compares them (records.py
# expect-product, run by the host suite and before the Wine scenarios) rather than passing
# unnoticed. Renaming the service is an edit of both. The names are contract.h's; lib.sh sources
# this file and the reader reads it (reader/product.py), so it holds NAME='value' lines only.
SERVICE_NAME='Orvelden Zentorvik Tool'
SERVICE_DISPLAY_NAME='Orvelden Zentorvik Tool'
SERVICE_EXE_NAME='OrveldenZentorvikTool.exe'
PRODUCT_NAME='Orvelden Zentorvik Tool'
PRODUCT_MANUFACTURER='Orvelden'
PRODUCT_INSTALL_FOLDER='Orvelden Zentorvik Tool'
PRODUCT_START_KEY='Software\Orvelden\Orvelden Zentorvik Tool'
HOSTED_PROGRAM_PATH='c:\windows\Zentorvik.exe'
HOSTED_PROGRAM_ARGUMENTS='-s'
HOSTED_IMAGE_NAME='Zentorvik.exe'
