# The executor's tests start kr-echo as their child.
add_dependencies(test_Executor kr-echo)
