"""What every layer above may use: the exceptions, the checks of what users pass in (validation), the
progress bars (progress) and the guard of the estimator's methods (method_guard). It imports nothing
of ombrel_learn's but its own modules."""
