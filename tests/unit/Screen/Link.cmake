# The halving tests compare the converter with libyuv's whole-picture halving and conversion.
target_link_libraries(${target} PRIVATE vantrel::yuv)
